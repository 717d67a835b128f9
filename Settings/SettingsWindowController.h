#pragma once
// The preferences window: a toolbar that lists the panes, one pane visible at a
// time, the window sized to the visible pane (growing and shrinking with its top
// edge kept, animated with a cross-fade of the two panes), the title following the
// pane, and the window's position remembered in the defaults store.
//
// Made once at start-up and kept for the whole run: closing the window only hides
// it, and the next show returns to the last active pane. Main thread only.

#include "Settings/Settings.h"

#include <QEasingCurve>
#include <QMainWindow>
#include <QPointer>

#include <memory>
#include <optional>
#include <vector>

class QLabel;
class QToolBar;
class QVariantAnimation;

namespace overlook {
class UserDefaults;
}

namespace overlook::Settings {

// A window that can ignore the user's input for a while (during a pane switch) and
// whose toolbar cannot be hidden: it offers no toolbar menu.
class UserInteractionPausableWindow final : public QMainWindow {
    Q_OBJECT
public:
    UserInteractionPausableWindow();

    bool isUserInteractionEnabled() const { return isUserInteractionEnabled_; }
    void setUserInteractionEnabled(bool enabled);

    QMenu* createPopupMenu() override { return nullptr; }

Q_SIGNALS:
    // The window moved or was resized while shown, or is being hidden.
    void frameChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    bool isUserInteractionEnabled_ = true;
};

class SettingsWindowController final : public QObject {
    Q_OBJECT
public:
    // The key under which the window's frame is kept in the defaults store.
    static constexpr const char* kFrameAutosaveName = "io.overlook.Overlook.Settings.FrameAutosaveName";
    static constexpr int kSwitchDurationMs = 250;
    // Ease in, ease out: the cubic Bézier curve (0.42, 0), (0.58, 1).
    static QEasingCurve switchCurve();

    // At least one pane (none stops the program). `frameStore` keeps the saved frame;
    // null means the user's standard store.
    explicit SettingsWindowController(std::vector<Pane> panes, Style style = Style::toolbarItems,
                                      bool animated = true, bool hidesToolbarForSingleItem = true,
                                      std::shared_ptr<UserDefaults> frameStore = nullptr);
    ~SettingsWindowController() override;
    SettingsWindowController(const SettingsWindowController&) = delete;
    SettingsWindowController& operator=(const SettingsWindowController&) = delete;

    // Shows the pane with `identifier` (the first pane when none has it) or, without
    // one, the last active pane; then centres the window, restores its saved position
    // and brings it to the front.
    void show(const std::optional<PaneIdentifier>& identifier = std::nullopt);
    // Makes pane `index` the visible one.
    void activate(std::size_t index, bool animated);
    // Chooses the pane with `identifier` as its toolbar item does.
    void select(const PaneIdentifier& identifier);

    UserInteractionPausableWindow* window() const { return window_.get(); }
    QToolBar* toolbar() const { return toolbar_; }
    std::size_t paneCount() const { return panes_.size(); }
    const Pane& pane(std::size_t index) const { return panes_.at(index); }
    // Absent until the first show.
    std::optional<std::size_t> activeTab() const { return activeTab_; }
    // The identifier of the selected toolbar item (or segment), if any.
    std::optional<PaneIdentifier> selectedItemIdentifier() const;
    Style style() const { return style_; }
    bool isAnimated() const { return isAnimated_; }
    bool hidesToolbarForSingleItem() const { return hidesToolbarForSingleItem_; }
    // Whether the window stays centred on its old middle when it changes size.
    bool isKeepingWindowCentered() const { return style_ == Style::segmentedControl; }
    bool isSwitching() const;

    // The window geometry (client area, y down) that shows `content` with the top
    // edge of `from` kept.
    QRect frameFor(QWidget* content, const QRect& from) const;

Q_SIGNALS:
    void paneActivated(std::size_t index);

private:
    class StyleController;
    class ToolbarItemStyleController;
    class SegmentedControlStyleController;

    void setFrame(const QRect& frame);
    void finishSwitch();
    void updateTitle();
    void restoreSavedFrame();
    void saveFrame() const;

    std::vector<Pane> panes_;
    Style style_;
    bool isAnimated_;
    bool hidesToolbarForSingleItem_;
    std::shared_ptr<UserDefaults> frameStore_;
    std::unique_ptr<UserInteractionPausableWindow> window_;
    QWidget* container_ = nullptr;
    QToolBar* toolbar_ = nullptr;
    std::unique_ptr<StyleController> styleController_;
    std::optional<std::size_t> activeTab_;
    QPointer<QVariantAnimation> animation_;
    QPointer<QLabel> fadingPane_;
    bool autosaves_ = false;
};

} // namespace overlook::Settings
