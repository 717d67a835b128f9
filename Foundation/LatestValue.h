#pragma once
// A single "latest value" slot shared between a producer thread and readers:
// store() publishes a new reference, load() takes one. The critical sections are
// a pointer copy; the old value is released outside the lock, so a reader never
// pays for destroying a frame. (libstdc++'s atomic<shared_ptr> would do the same
// job but is opaque to ThreadSanitizer.)

#include <memory>
#include <mutex>
#include <utility>

namespace overlook {

template <class T>
class LatestValue {
public:
    std::shared_ptr<T> load() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    // Publishes `value`; returns the reference it replaced.
    std::shared_ptr<T> exchange(std::shared_ptr<T> value) {
        std::lock_guard lock(mutex_);
        std::swap(value, value_);
        return value;
    }
    void store(std::shared_ptr<T> value) { exchange(std::move(value)); }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<T> value_;
};

} // namespace overlook
