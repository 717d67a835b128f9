#include "KeyboardShortcuts/KeyboardShortcuts.h"

#include "Foundation/Logger.h"
#include "KeyboardShortcuts/HotKeyRegistry.h"
#include "settings_store/UserDefaults.h"

#include <algorithm>
#include <map>

namespace overlook::KeyboardShortcuts {

namespace {

const Logger& log() {
    static const Logger logger(logs::kApplication, "KeyboardShortcuts");
    return logger;
}

struct Actions {
    Name name;
    std::vector<std::function<void()>> actions;
};

struct State {
    HotKeyRegistry registry;
    // In order of registration, so a new service hands out ids in the same order.
    std::vector<Shortcut> registered;
    std::map<std::string, Actions> keyDownActions;
    std::map<std::string, Actions> keyUpActions;
    bool paused = false;
    // The unreadable entry last reported for each name.
    std::map<std::string, PropertyList> unreadableLogged;
};

State& state() {
    static State s;
    return s;
}

UserDefaults& store() { return *UserDefaults::standard(); }

bool isRegistered(const Shortcut& shortcut) {
    const auto& r = state().registered;
    return std::find(r.begin(), r.end(), shortcut) != r.end();
}

void dispatch(std::map<std::string, Actions>& table, const Shortcut& pressed) {
    if (state().paused)
        return;
    // A copy: an action may add actions or change shortcuts.
    const auto snapshot = table;
    for (const auto& [rawValue, entry] : snapshot)
        if (getShortcut(entry.name) == pressed)
            for (const auto& action : entry.actions)
                action();
}

void registerWithSystem(const Shortcut& shortcut) {
    // The set remembers the shortcut even when the system refuses it: it is not
    // tried again until it was unregistered. Without a service yet (actions are
    // added at start-up before it comes) there is nothing to say: the service
    // registers every remembered shortcut when it is installed.
    if (state().registry.service() && !state().registry.registerHotKey(
            shortcut, [](const Shortcut& s) { dispatch(state().keyDownActions, s); },
            [](const Shortcut& s) { dispatch(state().keyUpActions, s); }))
        log().info("The hot-key service did not take key code %d with modifiers %d", shortcut.carbonKeyCode,
                   shortcut.carbonModifiers);
    if (!isRegistered(shortcut))
        state().registered.push_back(shortcut);
}

// Whether a name other than `name` that has actions still stores `shortcut`; its hot
// key must then stay registered when `name` lets go of it.
bool usedByAnotherName(const Shortcut& shortcut, const Name& name) {
    for (const auto* table : {&state().keyDownActions, &state().keyUpActions})
        for (const auto& [rawValue, entry] : *table)
            if (rawValue != name.rawValue && getShortcut(entry.name) == shortcut)
                return true;
    return false;
}

void unregisterFromSystem(const Shortcut& shortcut, const Name& name) {
    if (usedByAnotherName(shortcut, name))
        return;
    state().registry.unregisterHotKey(shortcut);
    std::erase(state().registered, shortcut);
}

void postChange(const Name& name) {
    NotificationCenter::defaultCenter().post({kShortcutByNameDidChange, {{"name", std::any(name)}}});
}

void addAction(std::map<std::string, Actions>& table, const Name& name, std::function<void()> action) {
    auto [it, inserted] = table.try_emplace(name.rawValue, Actions{name, {}});
    it->second.actions.push_back(std::move(action));
    if (const auto shortcut = getShortcut(name); shortcut && !isRegistered(*shortcut))
        registerWithSystem(*shortcut);
}

} // namespace

Name::Name(std::string raw, std::optional<Shortcut> shortcut)
    : rawValue(std::move(raw)), defaultShortcut(shortcut) {
    if (!store().object(storageKey(*this))) {
        if (defaultShortcut)
            setShortcut(defaultShortcut, *this);
    } else {
        getShortcut(*this); // an unreadable entry is reported at launch, not at the first press
    }
}

const Name& Name::showPopover() {
    static const Name name("showPopover",
                           Shortcut(Key::p, ModifierFlags::Control | ModifierFlags::Option | ModifierFlags::Command));
    return name;
}

std::string storageKey(const Name& name) { return "KeyboardShortcuts_" + name.rawValue; }

std::optional<Shortcut> getShortcut(const Name& name) {
    const auto entry = store().object(storageKey(name));
    if (!entry)
        return std::nullopt;
    if (const auto* cleared = entry->get<bool>(); cleared && !*cleared)
        return std::nullopt;
    const auto* text = entry->get<std::string>();
    if (auto shortcut = text ? Shortcut::fromJson(*text) : std::nullopt)
        return shortcut;
    // Unreadable counts as no shortcut; and since the entry exists, the default is not
    // brought back either. Said once per entry, as this is read on every hot-key press.
    auto& logged = state().unreadableLogged[name.rawValue];
    if (logged != *entry) {
        logged = *entry;
        log().error("The stored shortcut of %s (%s) cannot be read, so it has no shortcut until one is "
                    "recorded: %s",
                    name.rawValue.c_str(), storageKey(name).c_str(), entry->describe().c_str());
    }
    return std::nullopt;
}

void setShortcut(const std::optional<Shortcut>& shortcut, const Name& name) {
    const auto old = getShortcut(name);
    if (!shortcut) {
        if (!old)
            return;
        if (const auto result = store().set(storageKey(name), false); !result) {
            log().error("Could not clear the shortcut of %s: %s", name.rawValue.c_str(), result.error.c_str());
            return;
        }
        unregisterFromSystem(*old, name);
        postChange(name);
        return;
    }
    if (old)
        unregisterFromSystem(*old, name);
    if (!isRegistered(*shortcut))
        registerWithSystem(*shortcut);
    if (const auto result = store().set(storageKey(name), shortcut->toJson()); !result) {
        log().error("Could not store the shortcut of %s: %s", name.rawValue.c_str(), result.error.c_str());
        return;
    }
    postChange(name);
}

void onKeyDown(const Name& name, std::function<void()> action) {
    addAction(state().keyDownActions, name, std::move(action));
}

void onKeyUp(const Name& name, std::function<void()> action) { addAction(state().keyUpActions, name, std::move(action)); }

bool isPaused() { return state().paused; }
void setPaused(bool paused) { state().paused = paused; }

void setHotKeyService(std::unique_ptr<HotKeyService> service) {
    auto& s = state();
    if (service)
        service->setLayoutChangeHandler(
            [] { NotificationCenter::defaultCenter().post({kKeyboardLayoutDidChange, {}}); });
    s.registry.setService(std::move(service));
    const auto wanted = s.registered;
    for (const auto& shortcut : wanted)
        registerWithSystem(shortcut);
}

HotKeyService* hotKeyService() { return state().registry.service(); }

std::vector<Shortcut> systemReservedShortcuts() {
    std::vector<Shortcut> shortcuts;
    auto* service = hotKeyService();
    if (!service)
        return shortcuts;
    for (const auto& entry : service->symbolicHotKeys()) {
        if (entry.enabled != true || !entry.keyCode || !entry.carbonModifiers)
            continue;
        shortcuts.emplace_back(*entry.keyCode, normalizedCarbonModifiers(*entry.carbonModifiers));
    }
    return shortcuts;
}

bool isSystemReserved(const Shortcut& shortcut) {
    const auto reserved = systemReservedShortcuts();
    if (std::find(reserved.begin(), reserved.end(), shortcut) != reserved.end())
        return true;
    auto* service = hotKeyService();
    return service && service->isTakenElsewhere(shortcut.carbonKeyCode, shortcut.carbonModifiers);
}

std::optional<std::string> characterForKeyCode(int keyCode) {
    if (auto* service = hotKeyService())
        if (auto character = service->characterForKeyCode(keyCode))
            return character;
    const auto position = positionOfKeyCode(keyCode);
    if (!position || position->usCharacter.empty())
        return std::nullopt;
    return std::string(position->usCharacter);
}

void resetForTesting() {
    auto& s = state();
    s.registry.setService(nullptr);
    s.registered.clear();
    s.keyDownActions.clear();
    s.keyUpActions.clear();
    s.paused = false;
    s.unreadableLogged.clear();
}

} // namespace overlook::KeyboardShortcuts
