#pragma once

#include "Foundation/CoalescedTask.h"
// The widgets that show a stream controller's streams and control them:
// ContentView (the popover's root), DisplayView (picture plus controls strip, also
// the root of every stream window), HoverControls (the strip), DisplaySourceList
// (the list of displays opened from the strip) and StreamLabel (one row).
//
// Each view keeps the controller it was given (the environment object) and
// refreshes itself when the controller, one of its streamers or an observed
// setting publishes. Main thread only.

#include "Foundation/Signal.h"
#include "Overlook/PreferenceKeys.h"
#include "Overlook/StreamController.h"
#include "settings_store/DefaultsObservation.h"

#include <QIcon>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

class QLabel;
class QToolButton;
class QVBoxLayout;

namespace overlook {

class RenderingView;
struct DisplayStreamView;

// One of our symbols by its name ("play.fill", "eye.slash"…): the desktop theme's
// equivalent where there is one, else our own SVG.
QIcon symbolIcon(const std::string& name);

// The tray icon: where the desktop recolours symbolic icons to suit its panel (GNOME,
// KDE) and the installed theme has ours, "overlook-symbolic"; elsewhere our own icon,
// whose dark tile and light rim stand out on light and dark panels alike.
QIcon statusItemIcon();

// Texts of a row, also used by the tests.
std::string visibilityTooltip(const DisplayStreamer& s);
std::string windowTooltip(const DisplayStreamer& s);
std::string streamTooltip(const DisplayStreamer& s);

class StreamLabel final : public QWidget {
public:
    StreamLabel(std::shared_ptr<StreamController> controller, DisplayStreamerPtr stream, QWidget* parent = nullptr);

    QToolButton* visibilityButton() const { return visibility_; }
    QToolButton* windowButton() const { return window_; }
    QToolButton* streamButton() const { return streamButton_; }
    const DisplayStreamerPtr& stream() const { return stream_; }
    // The symbol names the buttons show now.
    std::string visibilitySymbol() const;
    std::string streamSymbol() const;
    void refresh();

private:
    std::shared_ptr<StreamController> controller_;
    DisplayStreamerPtr stream_;
    QToolButton* visibility_;
    QToolButton* window_;
    QToolButton* streamButton_;
};

class DisplaySourceList final : public QWidget {
public:
    explicit DisplaySourceList(std::shared_ptr<StreamController> controller, QWidget* parent = nullptr);
    const std::vector<StreamLabel*>& rows() const { return rows_; }
    void refresh();

private:
    void rebuild();
    std::shared_ptr<StreamController> controller_;
    QVBoxLayout* rowsLayout_;
    std::vector<StreamLabel*> rows_;
    std::vector<ScopedConnection> connections_;
    std::vector<ScopedConnection> streamConnections_;
};

class HoverControls final : public QWidget {
public:
    HoverControls(std::shared_ptr<StreamController> controller, bool isPopover, QWidget* parent = nullptr);
    ~HoverControls() override;

    QToolButton* stopAllButton() const { return stopAll_; }
    QToolButton* startAllButton() const { return startAll_; }
    // Null outside a popover.
    QToolButton* displaysButton() const { return displays_; }
    bool showDisplayList() const { return showDisplayList_; }
    void setShowDisplayList(bool show);
    // The open display list, if any.
    DisplaySourceList* displayList() const { return list_; }
    void refresh();

private:
    std::shared_ptr<StreamController> controller_;
    QToolButton* stopAll_;
    QToolButton* startAll_;
    QToolButton* displays_ = nullptr;
    bool showDisplayList_ = false;
    DisplaySourceList* list_ = nullptr; // a window of its own while shown
};

class DisplayView final : public QWidget {
public:
    DisplayView(std::shared_ptr<StreamController> controller, bool isPopover, QWidget* parent = nullptr);
    ~DisplayView() override;

    const std::shared_ptr<StreamController>& controller() const { return controller_; }
    HoverControls* controls() const { return controls_; }
    // Null while every display is hidden.
    RenderingView* streamView() const { return streamView_; }
    // Shown while every display is hidden.
    QLabel* hiddenLabel() const { return hiddenLabel_; }
    // Over the picture while every visible stream is stopped: how to make it live.
    QLabel* pausedHint() const { return pausedHint_; }
    // Re-reads the controller and the settings (coalesced on the main queue).
    void scheduleRefresh();
    void refresh();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void observe(const std::vector<DisplayStreamerPtr>& streams);
    void placePausedHint();

    std::shared_ptr<StreamController> controller_;
    QVBoxLayout* layout_;
    QLabel* hiddenLabel_;
    QLabel* pausedHint_;
    RenderingView* streamView_ = nullptr;
    HoverControls* controls_;
    std::unique_ptr<DisplayStreamView> wrapper_;
    // The stream view's inputs, read from the settings on every refresh.
    double scale_ = 4, lineWidth_ = 2;
    bool showCrosshair_ = true, desaturate_ = true;
    struct Settings;
    std::unique_ptr<Settings> settings_;
    std::vector<ScopedConnection> connections_;
    std::vector<ScopedConnection> streamConnections_;
    // Will-change signals come before the change: the values are read afterwards.
    CoalescedTask refreshTask_{[this] { refresh(); }};
};

// The popover's root: makes its own controller (makeStreamController) and shows it.
class ContentView final : public QWidget {
public:
    explicit ContentView(QWidget* parent = nullptr);
    ContentView(std::shared_ptr<StreamController> controller, QWidget* parent = nullptr);
    DisplayView* displayView() const { return displayView_; }
    const std::shared_ptr<StreamController>& controller() const { return displayView_->controller(); }

private:
    DisplayView* displayView_;
};

} // namespace overlook
