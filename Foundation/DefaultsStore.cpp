#include "DefaultsStore.h"

#include <cstdlib>

namespace overlook {

void InMemoryDefaultsStore::set(const std::string& key, Value value) {
    std::lock_guard lock(mutex_);
    values_[key] = std::move(value);
}

void InMemoryDefaultsStore::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    values_.erase(key);
}

bool InMemoryDefaultsStore::boolForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end())
        return false;
    if (auto* b = std::get_if<bool>(&it->second))
        return *b;
    if (auto* d = std::get_if<double>(&it->second))
        return *d != 0;
    const auto& s = std::get<std::string>(it->second);
    return s == "true" || s == "YES" || s == "1" || s == "yes";
}

float InMemoryDefaultsStore::floatForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end())
        return 0;
    if (auto* b = std::get_if<bool>(&it->second))
        return *b ? 1.f : 0.f;
    if (auto* d = std::get_if<double>(&it->second))
        return static_cast<float>(*d);
    return std::strtof(std::get<std::string>(it->second).c_str(), nullptr);
}

namespace {
std::mutex gStoreMutex;
std::shared_ptr<DefaultsStore> gStore;
} // namespace

DefaultsStore& standardDefaultsStore() {
    std::lock_guard lock(gStoreMutex);
    if (!gStore)
        gStore = std::make_shared<InMemoryDefaultsStore>();
    return *gStore;
}

void setStandardDefaultsStore(std::shared_ptr<DefaultsStore> store) {
    std::lock_guard lock(gStoreMutex);
    gStore = std::move(store);
}

} // namespace overlook
