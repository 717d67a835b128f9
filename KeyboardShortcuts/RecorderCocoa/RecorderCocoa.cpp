#include "KeyboardShortcuts/RecorderCocoa/RecorderCocoa.h"
#include "Utilities/LocalizedStrings.h"

#include "KeyboardShortcuts/RecorderCocoa/LocalEventMonitor.h"
#include "KeyboardShortcuts/RecorderCocoa/QtKeys.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QStyle>

#include <algorithm>

namespace overlook::KeyboardShortcuts {

namespace {

constexpr const char* kBundle = "KeyboardShortcuts_KeyboardShortcuts";

// The first menu item, depth first, whose key sequence is the combination.
QAction* menuItemUsing(const QList<QAction*>& actions, const QKeyCombination& combination) {
    for (QAction* action : actions) {
        const QKeySequence sequence = action->shortcut();
        if (sequence.count() == 1 && sequence[0] == combination)
            return action;
        if (QMenu* menu = action->menu())
            if (QAction* found = menuItemUsing(menu->actions(), combination))
                return found;
    }
    return nullptr;
}

QAction* menuItemUsing(const Shortcut& shortcut) {
    const auto combination = keyCombination(shortcut);
    if (!combination)
        return nullptr;
    for (QWidget* topLevel : QApplication::topLevelWidgets()) {
        // A tray application's menu is a window of its own, in no menu bar.
        if (auto* menu = qobject_cast<QMenu*>(topLevel))
            if (QAction* found = menuItemUsing(menu->actions(), *combination))
                return found;
        for (QMenuBar* bar : topLevel->findChildren<QMenuBar*>())
            if (QAction* found = menuItemUsing(bar->actions(), *combination))
                return found;
    }
    return nullptr;
}

} // namespace

QString localizedString(const char* key) { return bundleString(kBundle, key); }

namespace {

// Applying a style sheet fixes the palette its palette() colours came from, and the field
// no longer hears of the application's: apply the sheet again when that changes (a dark
// appearance set after the window was built), or the field stays a white pill.
class PaletteFollower final : public QObject {
public:
    explicit PaletteFollower(QWidget* field) : QObject(field), field_(field) { qApp->installEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) {
            const QString sheet = field_->styleSheet();
            field_->setStyleSheet(QString()); // the same text again would change nothing
            field_->setPalette(QPalette());
            field_->setStyleSheet(sheet);
        }
        return false;
    }

private:
    QWidget* field_;
};

} // namespace

RecorderCocoa::RecorderCocoa(const Name& name, OnChange onChange, QWidget* parent)
    : QLineEdit(parent), onChange_(std::move(onChange)), shortcutName_(name) {
    setMinimumWidth(fittingWidth());
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setAlignment(Qt::AlignCenter);
    // Rounded like a search field, without the magnifier, in the theme's field colours
    // (dark in a dark theme); while recording, the highlight colour rings it.
    setStyleSheet(QStringLiteral(
        "QLineEdit { background: palette(base); color: palette(text); border: 1px solid palette(mid);"
        " border-radius: 9px; padding: 1px 6px; }"
        "QLineEdit[recording=\"true\"] { border: 2px solid palette(highlight); padding: 0px 5px; }"));
    // The text is only ever what was recorded, and read-only also hides the caret.
    setReadOnly(true);
    setContextMenuPolicy(Qt::NoContextMenu);
    setFocusPolicy(Qt::ClickFocus);
    setPlaceholderText(localizedString("record_shortcut"));
    new PaletteFollower(this);
    cancelButton_ = addAction(style()->standardIcon(QStyle::SP_LineEditClearButton), QLineEdit::TrailingPosition);
    connect(cancelButton_, &QAction::triggered, this, [this] { clearShortcut(); });
    refreshText();
    observer_ = NotificationCenter::defaultCenter().addObserver(kShortcutByNameDidChange, [this](const Notification& n) {
        const auto it = n.userInfo.find("name");
        if (it != n.userInfo.end())
            if (const auto* changed = std::any_cast<Name>(&it->second); changed && *changed == shortcutName_)
                refreshText();
    });
    // The key's character is the layout's: another layout or group shows another one.
    layoutObserver_ = NotificationCenter::defaultCenter().addObserver(kKeyboardLayoutDidChange,
                                                                      [this](const Notification&) { refreshText(); });
}

RecorderCocoa::~RecorderCocoa() {
    if (isRecording())
        endRecording();
}

void RecorderCocoa::setShortcutName(const Name& name) {
    if (name == shortcutName_)
        return;
    shortcutName_ = name;
    refreshText();
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (QWidget* focused = window()->focusWidget())
                focused->clearFocus();
        },
        Qt::QueuedConnection);
}

int RecorderCocoa::fittingWidth() const {
    // Padding on both sides plus the clear button's room.
    constexpr int kChrome = 2 * 6 + 2 + 28;
    const int text = fontMetrics().horizontalAdvance(QStringLiteral("Ctrl+Alt+Shift+") + superKeyName() +
                                                     QStringLiteral("+F12"));
    return std::max(kMinimumWidth, text + kChrome);
}

QSize RecorderCocoa::sizeHint() const { return {fittingWidth(), QLineEdit::sizeHint().height()}; }

void RecorderCocoa::refreshText() {
    const auto shortcut = getShortcut(shortcutName_);
    setText(shortcut ? shortcutText(*shortcut) : QString());
    updateCancelButton();
}

void RecorderCocoa::setRecordingLook(bool recording) {
    setProperty("recording", recording);
    // The style sheet reads the property only when the widget is polished again.
    style()->unpolish(this);
    style()->polish(this);
    update();
}

void RecorderCocoa::updateCancelButton() { cancelButton_->setVisible(!text().isEmpty()); }

void RecorderCocoa::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    startRecording();
}

void RecorderCocoa::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    endRecording();
}

bool RecorderCocoa::event(QEvent* event) {
    // While recording, key combinations are ours: menu and window shortcuts must not
    // take them first.
    if (event->type() == QEvent::ShortcutOverride && isRecording()) {
        event->accept();
        return true;
    }
    return QLineEdit::event(event);
}

void RecorderCocoa::startRecording() {
    if (isRecording())
        return;
    setPlaceholderText(localizedString("press_shortcut"));
    updateCancelButton();
    setRecordingLook(true);
    setPaused(true);
    eventMonitor_ = std::make_unique<LocalEventMonitor>([this](QObject* receiver, QEvent* event) {
        return handle(receiver, event);
    });
    eventMonitor_->start();
}

void RecorderCocoa::endRecording() {
    eventMonitor_.reset();
    setPlaceholderText(localizedString("record_shortcut"));
    updateCancelButton();
    setRecordingLook(false);
    setPaused(false);
}

void RecorderCocoa::clearShortcut() {
    setShortcut(std::nullopt, shortcutName_);
    setText(QString());
    if (onChange_)
        onChange_(std::nullopt);
    updateCancelButton();
    setFocus(Qt::OtherFocusReason);
}

void RecorderCocoa::beep() {
    QApplication::beep();
    Q_EMIT beeped();
}

bool RecorderCocoa::handle(QObject* receiver, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease) {
        // The clear button is part of the control and needs its click.
        if (receiver != this && isAncestorOf(static_cast<QWidget*>(receiver)))
            return true;
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const QPointF inside = mapFromGlobal(mouse->globalPosition());
        if (!QRectF(rect()).adjusted(-3, -3, 3, 3).contains(inside))
            clearFocus();
        return false;
    }
    if (event->type() != QEvent::KeyPress)
        return false;
    return handleKey(static_cast<QKeyEvent*>(event));
}

bool RecorderCocoa::handleKey(QKeyEvent* key) {
    const auto flags = modifierFlagsOfEvent(*key) & ~(ModifierFlags::CapsLock | ModifierFlags::NumericPad |
                                                     ModifierFlags::Function);
    const bool noModifiers = flags == ModifierFlags::None;
    if (noModifiers && key->key() == Qt::Key_Tab) {
        // The focus moves on as Tab would move it.
        return true;
    }
    if (noModifiers && key->key() == Qt::Key_Escape) {
        clearFocus();
        return false;
    }
    if (noModifiers && (key->key() == Qt::Key_Backspace || key->key() == Qt::Key_Delete)) {
        clearShortcut();
        return false;
    }
    // Modifier keys arrive as presses of their own here; they only build up the
    // combination that follows.
    const int qtKey = key->key();
    if ((qtKey >= Qt::Key_Shift && qtKey <= Qt::Key_ScrollLock) || qtKey == Qt::Key_Super_L ||
        qtKey == Qt::Key_Super_R || qtKey == Qt::Key_AltGr)
        return false;
    const auto keyCode = keyCodeOfEvent(*key);
    if ((noModifiers || flags == ModifierFlags::Shift) && !(keyCode && isFunctionKey(*keyCode))) {
        beep();
        return false;
    }
    const auto shortcut = keyCode ? shortcutFromKeyEvent(*keyCode, static_cast<std::uint64_t>(flags)) : std::nullopt;
    if (!shortcut) {
        beep();
        return false;
    }
    if (QAction* item = menuItemUsing(*shortcut)) {
        alert(localizedString("keyboard_shortcut_used_by_menu_item").arg(item->text().remove(QLatin1Char('&'))),
              QString());
        return false;
    }
    const bool isBareF12 = shortcut->carbonKeyCode == Key::f12.rawValue && shortcut->carbonModifiers == 0;
    if (!isBareF12 && isSystemReserved(*shortcut)) {
        alert(localizedString("keyboard_shortcut_used_by_system"), localizedString("keyboard_shortcuts_can_be_changed"));
        return false;
    }
    setText(shortcutText(*shortcut));
    cancelButton_->setVisible(true);
    setShortcut(*shortcut, shortcutName_);
    if (onChange_)
        onChange_(*shortcut);
    clearFocus();
    return false;
}

void RecorderCocoa::alert(const QString& message, const QString& informative) {
    clearFocus();
    QWidget* owner = window();
    QMessageBox box(QMessageBox::NoIcon, QString(), message, QMessageBox::Ok, owner);
    box.setIcon(QMessageBox::NoIcon);
    if (!informative.isEmpty())
        box.setInformativeText(informative);
    box.setWindowModality(owner ? Qt::WindowModal : Qt::ApplicationModal);
    box.exec();
    // The window has its focus back once the alert is gone; recording resumes.
    if (owner)
        owner->activateWindow();
    setFocus(Qt::OtherFocusReason);
}

} // namespace overlook::KeyboardShortcuts
