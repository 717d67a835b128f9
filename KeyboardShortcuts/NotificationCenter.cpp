#include "KeyboardShortcuts/NotificationCenter.h"

namespace overlook::KeyboardShortcuts {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

ScopedConnection NotificationCenter::addObserver(const std::string& name, Observer observer) {
    std::lock_guard lock(mutex_);
    auto& signal = signals_[name];
    if (!signal)
        signal = std::make_unique<Signal<const Notification&>>();
    return signal->connect(std::move(observer));
}

void NotificationCenter::post(const Notification& notification) {
    Signal<const Notification&>* signal = nullptr;
    {
        std::lock_guard lock(mutex_);
        const auto it = signals_.find(notification.name);
        if (it == signals_.end())
            return;
        // Signals are never removed, so the pointer outlives the lock.
        signal = it->second.get();
    }
    signal->emit(notification);
}

} // namespace overlook::KeyboardShortcuts
