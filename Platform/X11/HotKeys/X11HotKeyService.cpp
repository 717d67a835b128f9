#include "Platform/X11/HotKeys/X11HotKeyService.h"

#include "Foundation/Logger.h"
#include "KeyboardShortcuts/KeyboardShortcuts.h"
#include "Platform/X11/Xcb.h"

#include <QMetaObject>
#include <QSocketNotifier>

#include <algorithm>
#include <map>
#include <vector>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>
// xcb's XKB header names a member `explicit`; it has to come last and renamed.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

namespace overlook::x11 {

namespace KS = KeyboardShortcuts;

namespace {

const Logger& log() {
    static const Logger logger(logs::kApplication, "X11HotKeyService");
    return logger;
}

struct KeymapDeleter {
    void operator()(xkb_keymap* k) const { xkb_keymap_unref(k); }
    void operator()(xkb_state* s) const { xkb_state_unref(s); }
    void operator()(xkb_context* c) const { xkb_context_unref(c); }
};

} // namespace

struct X11HotKeyService::Impl {
    Connection connection;
    std::string error;
    std::unique_ptr<xkb_context, KeymapDeleter> context{xkb_context_new(XKB_CONTEXT_NO_FLAGS)};
    std::unique_ptr<xkb_keymap, KeymapDeleter> keymap;
    std::unique_ptr<xkb_state, KeymapDeleter> state;
    std::int32_t deviceId = -1;
    std::uint8_t xkbFirstEvent = 0;
    // Per layout group of the keymap: whether it types the Latin alphabet.
    std::vector<bool> asciiCapable;
    // Set by keymap notifications; the keymap is read again once the queue is drained,
    // as one change of layout brings several of them.
    bool keymapStale = false;

    // Real modifier masks of the virtual modifiers, read from the server's map.
    std::uint16_t altMask = XCB_MOD_MASK_1;
    std::uint16_t superMask = XCB_MOD_MASK_4;
    std::uint16_t numLockMask = XCB_MOD_MASK_2;

    struct Registration {
        Reference reference;
        xcb_keycode_t keycode;
        std::uint16_t mask;
        KS::HotKeyId id;
    };
    std::vector<Registration> registrations;
    Reference nextReference = 0;
    KS::HotKeyHandler handler;
    // Keys whose press we reported, so their release goes to the same registrations
    // whatever modifiers are still down by then.
    std::map<xcb_keycode_t, std::vector<KS::HotKeyId>> pressed;

    explicit Impl(const char* displayName) : connection(displayName) {
        if (!connection.ok()) {
            error = connection.error();
            return;
        }
        xcb_connection_t* c = connection.get();
        if (!xkb_x11_setup_xkb_extension(c, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                         XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &xkbFirstEvent,
                                         nullptr)) {
            error = "the X server has no usable XKB extension";
            return;
        }
        deviceId = xkb_x11_get_core_keyboard_device_id(c);
        if (!loadKeymap()) {
            error = "cannot read the X server's keymap";
            return;
        }
        // Held keys repeat as presses only, so a held shortcut does not also look
        // like a stream of releases.
        xcb_discard_reply(c, xcb_xkb_per_client_flags(c, XCB_XKB_ID_USE_CORE_KBD,
                                                      XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT,
                                                      XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT, 0, 0, 0)
                                 .sequence);
        selectKeyboardEvents();
        xcb_flush(c);
    }

    // A new keyboard, a changed map (setxkbmap) and a change of the active group all
    // change what a key prints, and so the text a shortcut is shown with.
    void selectKeyboardEvents() {
        constexpr std::uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY |
                                         XCB_XKB_EVENT_TYPE_STATE_NOTIFY;
        constexpr std::uint16_t mapParts =
            XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS | XCB_XKB_MAP_PART_MODIFIER_MAP |
            XCB_XKB_MAP_PART_EXPLICIT_COMPONENTS | XCB_XKB_MAP_PART_KEY_ACTIONS | XCB_XKB_MAP_PART_VIRTUAL_MODS |
            XCB_XKB_MAP_PART_VIRTUAL_MOD_MAP;
        // Only group changes: modifier presses would otherwise wake us on every key.
        constexpr std::uint16_t groupParts =
            XCB_XKB_STATE_PART_GROUP_BASE | XCB_XKB_STATE_PART_GROUP_LATCH | XCB_XKB_STATE_PART_GROUP_LOCK;
        xcb_xkb_select_events_details_t details{};
        details.affectNewKeyboard = XCB_XKB_NKN_DETAIL_KEYCODES;
        details.newKeyboardDetails = XCB_XKB_NKN_DETAIL_KEYCODES;
        details.affectState = groupParts;
        details.stateDetails = groupParts;
        xcb_connection_t* c = connection.get();
        const auto device = static_cast<xcb_xkb_device_spec_t>(deviceId);
        const auto cookie = xcb_xkb_select_events_aux_checked(c, device, events, 0, 0, mapParts, mapParts, &details);
        if (XcbError e{xcb_request_check(c, cookie)})
            log().error("Keyboard layout changes cannot be followed (X error %u); shortcuts keep the texts of "
                        "the layout at start",
                        e->error_code);
    }

    // Keeps the keymap in use when the new one cannot be read.
    bool loadKeymap() {
        xcb_connection_t* c = connection.get();
        std::unique_ptr<xkb_keymap, KeymapDeleter> newKeymap(
            xkb_x11_keymap_new_from_device(context.get(), c, deviceId, XKB_KEYMAP_COMPILE_NO_FLAGS));
        if (!newKeymap)
            return false;
        std::unique_ptr<xkb_state, KeymapDeleter> newState(xkb_x11_state_new_from_device(newKeymap.get(), c, deviceId));
        if (!newState)
            return false;
        keymap = std::move(newKeymap);
        state = std::move(newState);
        readModifierMasks();
        readAsciiCapableGroups();
        return true;
    }

    // A group counts as ASCII-capable when its unshifted keys include every Latin
    // letter, wherever they sit (QWERTZ, AZERTY and Dvorak do, Cyrillic does not).
    void readAsciiCapableGroups() {
        const xkb_layout_index_t groups = xkb_keymap_num_layouts(keymap.get());
        asciiCapable.assign(groups, false);
        for (xkb_layout_index_t group = 0; group < groups; ++group) {
            std::uint32_t letters = 0;
            for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap.get()); code <= xkb_keymap_max_keycode(keymap.get());
                 ++code) {
                const xkb_keysym_t* syms = nullptr;
                const int n = xkb_keymap_key_get_syms_by_level(keymap.get(), code, group, 0, &syms);
                for (int i = 0; i < n; ++i)
                    if (syms[i] >= XKB_KEY_a && syms[i] <= XKB_KEY_z)
                        letters |= 1u << (syms[i] - XKB_KEY_a);
            }
            asciiCapable[group] = letters == (1u << 26) - 1;
        }
    }

    // The group shortcut texts are read from: the active one when it types Latin
    // letters, else the first that does, else the active one.
    xkb_layout_index_t textGroup() const {
        const xkb_layout_index_t active = xkb_state_serialize_layout(state.get(), XKB_STATE_LAYOUT_EFFECTIVE);
        if (active < asciiCapable.size() && asciiCapable[active])
            return active;
        for (xkb_layout_index_t group = 0; group < asciiCapable.size(); ++group)
            if (asciiCapable[group])
                return group;
        return active;
    }

    // Which real modifier each of Alt, Super and Num Lock is bound to, from the core
    // modifier map and the key codes carrying those key symbols.
    void readModifierMasks() {
        xcb_connection_t* c = connection.get();
        auto map = reply<xcb_get_modifier_mapping_reply_t>(c, xcb_get_modifier_mapping_reply,
                                                           xcb_get_modifier_mapping(c));
        if (!map)
            return;
        const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(map.get());
        const int perModifier = map->keycodes_per_modifier;
        const auto maskOf = [&](std::initializer_list<xkb_keysym_t> symbols, std::uint16_t fallback) {
            for (int modifier = 0; modifier < 8; ++modifier)
                for (int i = 0; i < perModifier; ++i) {
                    const xcb_keycode_t code = codes[modifier * perModifier + i];
                    if (code == 0)
                        continue;
                    const xkb_keysym_t* syms = nullptr;
                    const int n = xkb_keymap_key_get_syms_by_level(keymap.get(), code, 0, 0, &syms);
                    for (int s = 0; s < n; ++s)
                        if (std::find(symbols.begin(), symbols.end(), syms[s]) != symbols.end())
                            return static_cast<std::uint16_t>(1u << modifier);
                }
            return fallback;
        };
        altMask = maskOf({XKB_KEY_Alt_L, XKB_KEY_Alt_R, XKB_KEY_Meta_L}, XCB_MOD_MASK_1);
        superMask = maskOf({XKB_KEY_Super_L, XKB_KEY_Super_R}, XCB_MOD_MASK_4);
        numLockMask = maskOf({XKB_KEY_Num_Lock}, XCB_MOD_MASK_2);
    }

    xcb_keycode_t keycodeOf(int keyCode) const {
        const auto position = KS::positionOfKeyCode(keyCode);
        if (!position || position->xkbName.empty() || !keymap)
            return 0;
        const std::string name(position->xkbName);
        const xkb_keycode_t code = xkb_keymap_key_by_name(keymap.get(), name.c_str());
        return code == XKB_KEYCODE_INVALID || code > 255 ? 0 : static_cast<xcb_keycode_t>(code);
    }

    std::uint16_t maskOf(int carbonModifiers) const {
        std::uint16_t mask = 0;
        if (carbonModifiers & KS::carbon::kControl)
            mask |= XCB_MOD_MASK_CONTROL;
        if (carbonModifiers & KS::carbon::kShift)
            mask |= XCB_MOD_MASK_SHIFT;
        if (carbonModifiers & KS::carbon::kOption)
            mask |= altMask;
        if (carbonModifiers & KS::carbon::kCommand)
            mask |= superMask;
        return mask;
    }

    std::vector<std::uint16_t> variants(std::uint16_t mask) const {
        return {mask, static_cast<std::uint16_t>(mask | numLockMask), static_cast<std::uint16_t>(mask | XCB_MOD_MASK_LOCK),
                static_cast<std::uint16_t>(mask | numLockMask | XCB_MOD_MASK_LOCK)};
    }

    bool holds(xcb_keycode_t keycode, std::uint16_t mask) const {
        return std::any_of(registrations.begin(), registrations.end(),
                           [&](const Registration& r) { return r.keycode == keycode && r.mask == mask; });
    }

    // Grabs every variant, or none: a refusal of any variant gives back the others.
    bool grab(xcb_keycode_t keycode, std::uint16_t mask) {
        xcb_connection_t* c = connection.get();
        std::vector<xcb_void_cookie_t> cookies;
        for (const auto variant : variants(mask))
            cookies.push_back(xcb_grab_key_checked(c, 1, connection.root(), variant, keycode, XCB_GRAB_MODE_ASYNC,
                                                   XCB_GRAB_MODE_ASYNC));
        bool refused = false;
        for (const auto cookie : cookies)
            if (XcbError e{xcb_request_check(c, cookie)}) {
                refused = true;
                if (e->error_code != XCB_ACCESS)
                    log().error("Grabbing X key code %u with modifiers 0x%x failed with X error %u", keycode, mask,
                                e->error_code);
            }
        if (refused)
            ungrabAll(keycode, mask);
        return !refused;
    }

    // Also gives back variants another client holds: ungrabbing only ever affects our
    // own grabs.
    void ungrabAll(xcb_keycode_t keycode, std::uint16_t mask) {
        xcb_connection_t* c = connection.get();
        for (const auto variant : variants(mask))
            xcb_ungrab_key(c, keycode, connection.root(), variant);
        xcb_flush(c);
    }

    void report(const KS::HotKeyId& id, KS::HotKeyEventKind kind) {
        if (handler)
            handler({id, static_cast<int>(kind)});
    }

    // Returns whether the group shortcut texts are read from may have changed.
    bool handle(const xcb_generic_event_t* event) {
        const auto type = event->response_type & 0x7f;
        if (type == XCB_MAPPING_NOTIFY) {
            // A new layout or modifier map: later look-ups use it. Grabs made earlier
            // stay on their key codes.
            keymapStale = true;
            return false;
        }
        if (xkbFirstEvent != 0 && type == xkbFirstEvent)
            return handleXkb(event);
        if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE)
            return false;
        const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(event);
        if (type == XCB_KEY_PRESS) {
            if (pressed.contains(key->detail))
                return false; // auto-repeat
            const auto mask = static_cast<std::uint16_t>(key->state & ~(numLockMask | XCB_MOD_MASK_LOCK) & 0xff);
            std::vector<KS::HotKeyId> ids;
            for (const auto& r : registrations)
                if (r.keycode == key->detail && r.mask == mask)
                    ids.push_back(r.id);
            if (ids.empty())
                return false;
            pressed[key->detail] = ids;
            for (const auto& id : ids)
                report(id, KS::HotKeyEventKind::Pressed);
        } else {
            const auto it = pressed.find(key->detail);
            if (it == pressed.end())
                return false;
            const auto ids = std::move(it->second);
            pressed.erase(it);
            for (const auto& id : ids)
                report(id, KS::HotKeyEventKind::Released);
        }
        return false;
    }

    bool handleXkb(const xcb_generic_event_t* event) {
        // Every XKB event shares the first event code; the kind follows it.
        const auto kind = reinterpret_cast<const xcb_xkb_state_notify_event_t*>(event)->xkbType;
        const auto device = reinterpret_cast<const xcb_xkb_state_notify_event_t*>(event)->deviceID;
        if (device != deviceId)
            return false;
        if (kind == XCB_XKB_NEW_KEYBOARD_NOTIFY || kind == XCB_XKB_MAP_NOTIFY) {
            keymapStale = true;
            return false;
        }
        if (kind != XCB_XKB_STATE_NOTIFY || !state)
            return false;
        const auto* notify = reinterpret_cast<const xcb_xkb_state_notify_event_t*>(event);
        const xkb_layout_index_t before = textGroup();
        xkb_state_update_mask(state.get(), notify->baseMods, notify->latchedMods, notify->lockedMods,
                              static_cast<xkb_layout_index_t>(notify->baseGroup),
                              static_cast<xkb_layout_index_t>(notify->latchedGroup), notify->lockedGroup);
        return textGroup() != before;
    }
};

X11HotKeyService::X11HotKeyService(const char* displayName) : impl_(std::make_unique<Impl>(displayName)) {}

X11HotKeyService::~X11HotKeyService() {
    notifier_.reset();
    if (ok())
        for (const auto& r : impl_->registrations)
            impl_->ungrabAll(r.keycode, r.mask);
}

bool X11HotKeyService::ok() const { return impl_->error.empty(); }
const std::string& X11HotKeyService::error() const { return impl_->error; }
int X11HotKeyService::fileDescriptor() const { return ok() ? xcb_get_file_descriptor(impl_->connection.get()) : -1; }
int X11HotKeyService::xKeyCode(int keyCode) const { return ok() ? impl_->keycodeOf(keyCode) : 0; }

std::optional<KS::HotKeyService::Reference> X11HotKeyService::registerHotKey(int keyCode, int carbonModifiers,
                                                                             KS::HotKeyId id) {
    if (!ok())
        return std::nullopt;
    const xcb_keycode_t keycode = impl_->keycodeOf(keyCode);
    if (keycode == 0)
        return std::nullopt;
    const std::uint16_t mask = impl_->maskOf(carbonModifiers);
    // A second registration of a combination we hold shares the grab.
    if (!impl_->holds(keycode, mask) && !impl_->grab(keycode, mask))
        return std::nullopt;
    impl_->registrations.push_back({++impl_->nextReference, keycode, mask, id});
    if (notifier_)
        // Waiting for the grab's answer may have queued events that the socket will
        // not announce again.
        QMetaObject::invokeMethod(
            notifier_.get(), [this] { processPendingEvents(); }, Qt::QueuedConnection);
    return impl_->nextReference;
}

void X11HotKeyService::unregisterHotKey(Reference reference) {
    auto& regs = impl_->registrations;
    const auto it = std::find_if(regs.begin(), regs.end(), [&](const auto& r) { return r.reference == reference; });
    if (it == regs.end())
        return;
    const auto [ref, keycode, mask, id] = *it;
    regs.erase(it);
    for (auto& [code, ids] : impl_->pressed)
        std::erase_if(ids, [&](const KS::HotKeyId& p) { return p.id == id.id && p.signature == id.signature; });
    if (!impl_->holds(keycode, mask))
        impl_->ungrabAll(keycode, mask);
}

void X11HotKeyService::installHandler(KS::HotKeyHandler handler) { impl_->handler = std::move(handler); }

bool X11HotKeyService::isTakenElsewhere(int keyCode, int carbonModifiers) {
    if (!ok())
        return false;
    const xcb_keycode_t keycode = impl_->keycodeOf(keyCode);
    if (keycode == 0)
        return false;
    const std::uint16_t mask = impl_->maskOf(carbonModifiers);
    if (impl_->holds(keycode, mask))
        return false;
    if (!impl_->grab(keycode, mask))
        return true;
    impl_->ungrabAll(keycode, mask);
    return false;
}

std::optional<std::string> X11HotKeyService::characterForKeyCode(int keyCode) {
    if (!ok())
        return std::nullopt;
    const xcb_keycode_t keycode = impl_->keycodeOf(keyCode);
    if (keycode == 0)
        return std::nullopt;
    // The group texts are read from, with no modifier down.
    const xkb_layout_index_t layout = impl_->textGroup();
    std::unique_ptr<xkb_state, KeymapDeleter> plain(xkb_state_new(impl_->keymap.get()));
    xkb_state_update_mask(plain.get(), 0, 0, 0, 0, 0, layout);
    char text[64] = {};
    const int length = xkb_state_key_get_utf8(plain.get(), keycode, text, sizeof text);
    if (length <= 0 || static_cast<unsigned char>(text[0]) < 0x20 || text[0] == 0x7f)
        return std::nullopt; // nothing printable (Return, Escape, Tab come out as control characters)
    return std::string(text, std::min<int>(length, sizeof text - 1));
}

void X11HotKeyService::attachToQtEventLoop() {
    if (!ok() || notifier_)
        return;
    notifier_ = std::make_unique<QSocketNotifier>(fileDescriptor(), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { processPendingEvents(); });
}

void X11HotKeyService::processPendingEvents() {
    xcb_connection_t* c = impl_->connection.get();
    if (!c)
        return;
    bool layoutChanged = false;
    for (;;) {
        while (XcbReply<xcb_generic_event_t> event{xcb_poll_for_event(c)})
            layoutChanged |= impl_->handle(event.get());
        if (!impl_->keymapStale)
            break;
        // Reading the keymap waits for replies, which may queue events the socket
        // will not announce again: hence another round.
        impl_->keymapStale = false;
        if (!impl_->loadKeymap())
            log().error("Cannot read the X server's new keymap; key look-ups keep the previous one");
        layoutChanged = true;
    }
    if (layoutChanged)
        layoutDidChange();
    if (xcb_connection_has_error(c) && notifier_) {
        log().error("Lost the connection to the X server; global shortcuts no longer fire");
        notifier_->setEnabled(false);
    }
}

} // namespace overlook::x11

namespace overlook::KeyboardShortcuts {

bool installX11HotKeyService(const char* displayName) {
    auto service = std::make_unique<x11::X11HotKeyService>(displayName);
    if (!service->ok()) {
        x11::log().error("Global shortcuts are off: %s", service->error().c_str());
        return false;
    }
    service->attachToQtEventLoop();
    setHotKeyService(std::move(service));
    return true;
}

} // namespace overlook::KeyboardShortcuts
