#pragma once
// The bookkeeping between shortcuts and the system's hot-key service: ids handed
// out from 1, the table of live registrations by id, and the one handler that turns
// the service's events back into shortcut actions. Main thread only.

#include "KeyboardShortcuts/HotKeyService.h"
#include "KeyboardShortcuts/Shortcut.h"

#include <functional>
#include <map>
#include <memory>

namespace overlook::KeyboardShortcuts {

class HotKeyRegistry {
public:
    using Action = std::function<void(const Shortcut&)>;
    // "KBHK": marks the events that belong to our registrations.
    static constexpr std::uint32_t kSignature = 0x4B42484B;

    struct HotKey {
        Shortcut shortcut;
        int hotKeyId = 0;
        HotKeyService::Reference reference = 0;
        Action onKeyDown;
        Action onKeyUp;
    };

    // Replaces the service. Registrations with the old one are dropped from it and
    // from the table; the caller registers again what it still wants.
    void setService(std::unique_ptr<HotKeyService> service);
    HotKeyService* service() const { return service_.get(); }

    // Spends the next id even when the service refuses; returns whether it took.
    bool registerHotKey(const Shortcut& shortcut, Action onKeyDown, Action onKeyUp);
    // Every registration of an equal shortcut goes.
    void unregisterHotKey(const Shortcut& shortcut);
    // What the service's events are answered with.
    int handle(const HotKeyEvent& event);

    const std::map<int, HotKey>& hotKeys() const { return hotKeys_; }
    int lastId() const { return lastId_; }

private:
    std::unique_ptr<HotKeyService> service_;
    std::map<int, HotKey> hotKeys_;
    int lastId_ = 0;
    bool handlerInstalled_ = false;
};

} // namespace overlook::KeyboardShortcuts
