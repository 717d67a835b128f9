#pragma once
// A small notification centre: named notifications with a user-info dictionary,
// delivered synchronously to the observers of that name on the posting thread.

#include "Foundation/Signal.h"

#include <any>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace overlook::KeyboardShortcuts {

struct Notification {
    std::string name;
    std::map<std::string, std::any> userInfo;
};

class NotificationCenter {
public:
    using Observer = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    // The observation ends when the returned connection is disconnected or dropped.
    [[nodiscard]] ScopedConnection addObserver(const std::string& name, Observer observer);
    // Calls the observers of `notification.name` before returning.
    void post(const Notification& notification);

private:
    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<Signal<const Notification&>>> signals_;
};

} // namespace overlook::KeyboardShortcuts
