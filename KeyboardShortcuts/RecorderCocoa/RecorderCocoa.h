#pragma once
// The control that records the shortcut of one name. It looks like a search field,
// shows the stored shortcut, starts recording when it gets the keyboard focus (global
// shortcuts are paused meanwhile), takes the next combination that has a modifier (or
// is a function key) and that no menu item and nobody else on the desktop uses, and
// stores it. The clear button removes the shortcut. Tab does not reach it.
//
// Main thread only.

#include "KeyboardShortcuts/KeyboardShortcuts.h"

#include <QLineEdit>

#include <functional>
#include <memory>
#include <optional>

class QAction;

namespace overlook::KeyboardShortcuts {

class LocalEventMonitor;

class RecorderCocoa : public QLineEdit {
    Q_OBJECT
public:
    using OnChange = std::function<void(const std::optional<Shortcut>&)>;
    static constexpr int kMinimumWidth = 130;
    // Wide enough for the longest usual shortcut in words ("Ctrl+Alt+Shift+Super+F12"),
    // the padding and the clear button, and never below kMinimumWidth.
    int fittingWidth() const;

    explicit RecorderCocoa(const Name& name, OnChange onChange = {}, QWidget* parent = nullptr);
    ~RecorderCocoa() override;

    const Name& shortcutName() const { return shortcutName_; }
    // A different name shows its shortcut and, a moment later, ends any recording.
    void setShortcutName(const Name& name);

    QAction* cancelButton() const { return cancelButton_; }
    bool isRecording() const { return eventMonitor_ != nullptr; }
    QSize sizeHint() const override;

Q_SIGNALS:
    // A combination was refused with the system beep.
    void beeped();

protected:
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    bool event(QEvent* event) override;

private:
    void startRecording();
    // Marks the field (property "recording", drawn by the style sheet) while it records.
    void setRecordingLook(bool recording);
    void endRecording();
    void refreshText();
    void updateCancelButton();
    void clearShortcut();
    void beep();
    // Returns true to let the event through.
    bool handle(QObject* receiver, QEvent* event);
    bool handleKey(QKeyEvent* key);
    void alert(const QString& message, const QString& informative);

    std::unique_ptr<LocalEventMonitor> eventMonitor_;
    OnChange onChange_;
    ScopedConnection observer_;
    ScopedConnection layoutObserver_;
    Name shortcutName_;
    QAction* cancelButton_ = nullptr;
};

// The localized text under `key` from the module's translations.
QString localizedString(const char* key);

} // namespace overlook::KeyboardShortcuts
