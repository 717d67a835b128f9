#include "KeyboardShortcuts/HotKeyRegistry.h"

#include <vector>

namespace overlook::KeyboardShortcuts {

void HotKeyRegistry::setService(std::unique_ptr<HotKeyService> service) {
    if (service_)
        for (const auto& [id, hotKey] : hotKeys_)
            service_->unregisterHotKey(hotKey.reference);
    hotKeys_.clear();
    service_ = std::move(service);
    handlerInstalled_ = false;
}

bool HotKeyRegistry::registerHotKey(const Shortcut& shortcut, Action onKeyDown, Action onKeyUp) {
    const int id = ++lastId_;
    if (!service_)
        return false;
    const auto reference = service_->registerHotKey(shortcut.carbonKeyCode, shortcut.carbonModifiers, {kSignature, id});
    if (!reference || *reference == 0)
        return false;
    hotKeys_[id] = HotKey{shortcut, id, *reference, std::move(onKeyDown), std::move(onKeyUp)};
    if (!handlerInstalled_) {
        service_->installHandler([this](const HotKeyEvent& event) { return handle(event); });
        handlerInstalled_ = true;
    }
    return true;
}

void HotKeyRegistry::unregisterHotKey(const Shortcut& shortcut) {
    for (auto it = hotKeys_.begin(); it != hotKeys_.end();) {
        if (it->second.shortcut == shortcut) {
            if (service_)
                service_->unregisterHotKey(it->second.reference);
            it = hotKeys_.erase(it);
        } else {
            ++it;
        }
    }
}

int HotKeyRegistry::handle(const HotKeyEvent& event) {
    if (!event.hotKeyId)
        return kEventParameterNotFound;
    if (event.hotKeyId->signature != kSignature)
        return kEventNotHandled;
    const auto it = hotKeys_.find(event.hotKeyId->id);
    if (it == hotKeys_.end())
        return kEventNotHandled;
    // Copies: the action may change the table (setting a new shortcut from a hot key).
    const Shortcut shortcut = it->second.shortcut;
    Action action;
    if (event.kind == static_cast<int>(HotKeyEventKind::Pressed))
        action = it->second.onKeyDown;
    else if (event.kind == static_cast<int>(HotKeyEventKind::Released))
        action = it->second.onKeyUp;
    else
        return kEventNotHandled;
    if (action)
        action(shortcut);
    return kNoError;
}

} // namespace overlook::KeyboardShortcuts
