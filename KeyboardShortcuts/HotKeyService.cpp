#include "KeyboardShortcuts/HotKeyService.h"

#include <algorithm>

namespace overlook::KeyboardShortcuts {

std::optional<HotKeyService::Reference> InProcessHotKeyService::registerHotKey(int keyCode, int carbonModifiers,
                                                                               HotKeyId id) {
    if (isTakenElsewhere(keyCode, carbonModifiers))
        return std::nullopt;
    registrations_.push_back({++nextReference_, keyCode, carbonModifiers, id});
    return nextReference_;
}

void InProcessHotKeyService::unregisterHotKey(Reference reference) {
    std::erase_if(registrations_, [&](const Registration& r) { return r.reference == reference; });
}

void InProcessHotKeyService::installHandler(HotKeyHandler handler) {
    handler_ = std::move(handler);
    ++handlerInstalls_;
}

bool InProcessHotKeyService::isTakenElsewhere(int keyCode, int carbonModifiers) {
    return std::find(heldElsewhere.begin(), heldElsewhere.end(), std::pair{keyCode, carbonModifiers}) !=
           heldElsewhere.end();
}

std::optional<int> InProcessHotKeyService::press(int keyCode, int carbonModifiers) {
    return play(keyCode, carbonModifiers, HotKeyEventKind::Pressed);
}

std::optional<int> InProcessHotKeyService::release(int keyCode, int carbonModifiers) {
    return play(keyCode, carbonModifiers, HotKeyEventKind::Released);
}

int InProcessHotKeyService::deliver(const HotKeyEvent& event) { return handler_ ? handler_(event) : kEventNotHandled; }

std::optional<int> InProcessHotKeyService::play(int keyCode, int carbonModifiers, HotKeyEventKind kind) {
    // A copy: a handler may register or unregister while it runs.
    const auto registrations = registrations_;
    std::optional<int> status;
    for (const auto& r : registrations)
        if (r.keyCode == keyCode && r.carbonModifiers == carbonModifiers)
            status = deliver({r.id, static_cast<int>(kind)});
    return status;
}

} // namespace overlook::KeyboardShortcuts
