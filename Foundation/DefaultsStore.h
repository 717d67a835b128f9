#pragma once
// The small read interface of the per-user defaults store that the engine and the
// stream controller need. The settings store implements it; InMemoryDefaultsStore
// serves tests and jobs that must not touch the user's settings.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <variant>

namespace overlook {

class DefaultsStore {
public:
    virtual ~DefaultsStore() = default;
    // A missing entry reads false.
    virtual bool boolForKey(const std::string& key) const = 0;
    // A missing entry reads 0.
    virtual float floatForKey(const std::string& key) const = 0;
};

class InMemoryDefaultsStore final : public DefaultsStore {
public:
    using Value = std::variant<bool, double, std::string>;

    void set(const std::string& key, Value value);
    void remove(const std::string& key);
    bool boolForKey(const std::string& key) const override;
    float floatForKey(const std::string& key) const override;

private:
    mutable std::mutex mutex_;
    std::map<std::string, Value> values_;
};

// The standard store of the application; an empty in-memory store until set.
DefaultsStore& standardDefaultsStore();
void setStandardDefaultsStore(std::shared_ptr<DefaultsStore> store);

} // namespace overlook
