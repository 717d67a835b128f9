#pragma once
// The system's global hot-key facility, as the shortcut core needs it. A back end
// only grabs keys and reports presses and releases; which name a key belongs to,
// pausing and dispatch are decided in the core.
//
// Main thread only: every call, and every call of the installed handler.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace overlook::KeyboardShortcuts {

// Identifies one registration in the events the service reports.
struct HotKeyId {
    std::uint32_t signature = 0;
    int id = 0;
};

enum class HotKeyEventKind : int { Pressed = 5, Released = 6 };

struct HotKeyEvent {
    // Missing when the event did not carry an identifier the back end could read.
    std::optional<HotKeyId> hotKeyId;
    int kind = 0; // a HotKeyEventKind, or whatever else the back end saw
};

// Status codes a handler answers with.
inline constexpr int kNoError = 0;
inline constexpr int kEventParameterNotFound = -9870;
inline constexpr int kEventNotHandled = -9874;

using HotKeyHandler = std::function<int(const HotKeyEvent&)>;

// One binding the desktop itself uses, as reported (fields missing when unreadable).
struct SymbolicHotKey {
    std::optional<bool> enabled;
    std::optional<int> keyCode;
    std::optional<int> carbonModifiers;
};

class HotKeyService {
public:
    // Non-zero; names one successful registration.
    using Reference = std::uint64_t;

    virtual ~HotKeyService() = default;

    // Grabs the combination. Nothing when the system refuses it (another client
    // holds it, or the key does not exist on this keyboard).
    virtual std::optional<Reference> registerHotKey(int keyCode, int carbonModifiers, HotKeyId id) = 0;
    virtual void unregisterHotKey(Reference reference) = 0;
    // The handler stays installed for the life of the service.
    virtual void installHandler(HotKeyHandler handler) = 0;

    // The desktop's own bindings, where the back end can read them.
    virtual std::vector<SymbolicHotKey> symbolicHotKeys() { return {}; }
    // Whether a quick trial grab of the combination is refused because someone else
    // holds it. Combinations this service holds itself are not refused.
    virtual bool isTakenElsewhere(int keyCode, int carbonModifiers) {
        (void)keyCode;
        (void)carbonModifiers;
        return false;
    }
    // What the current ASCII-capable keyboard layout prints for the key without
    // modifiers (UTF-8), or nothing when the back end cannot tell.
    virtual std::optional<std::string> characterForKeyCode(int keyCode) {
        (void)keyCode;
        return std::nullopt;
    }

    // Called after the keyboard layout or its active group changed, when the answers
    // of characterForKeyCode may have changed.
    void setLayoutChangeHandler(std::function<void()> handler) { layoutChanged_ = std::move(handler); }

protected:
    void layoutDidChange() const {
        if (layoutChanged_)
            layoutChanged_();
    }

private:
    std::function<void()> layoutChanged_;
};

// A hot-key service inside the process, for tests: registrations are kept in a list,
// `press` and `release` play the system's part.
class InProcessHotKeyService final : public HotKeyService {
public:
    struct Registration {
        Reference reference;
        int keyCode;
        int carbonModifiers;
        HotKeyId id;
    };

    std::optional<Reference> registerHotKey(int keyCode, int carbonModifiers, HotKeyId id) override;
    void unregisterHotKey(Reference reference) override;
    void installHandler(HotKeyHandler handler) override;
    std::vector<SymbolicHotKey> symbolicHotKeys() override { return symbolic; }
    bool isTakenElsewhere(int keyCode, int carbonModifiers) override;

    // Plays a press (release) of the combination: the handler of every registration
    // of it is told, as a system would. Returns the handler's status of the last one,
    // or nothing when nothing is registered for it.
    std::optional<int> press(int keyCode, int carbonModifiers);
    std::optional<int> release(int keyCode, int carbonModifiers);
    // Delivers an arbitrary event, as a misbehaving system might.
    int deliver(const HotKeyEvent& event);

    const std::vector<Registration>& registrations() const { return registrations_; }
    int handlerInstallCount() const { return handlerInstalls_; }

    // Combinations another client holds: registering them is refused.
    std::vector<std::pair<int, int>> heldElsewhere;
    // What symbolicHotKeys() reports.
    std::vector<SymbolicHotKey> symbolic;

private:
    std::optional<int> play(int keyCode, int carbonModifiers, HotKeyEventKind kind);

    std::vector<Registration> registrations_;
    Reference nextReference_ = 0;
    HotKeyHandler handler_;
    int handlerInstalls_ = 0;
};

} // namespace overlook::KeyboardShortcuts
