#include "ContentViews.h"

#include "Foundation/MainQueue.h"
#include "Overlook/StreamWindow.h"
#include "Tessera/DisplayRenderingView/DisplayStreamView.h"
#include "settings_store/UserDefaults.h"

#include <QCoreApplication>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <map>

namespace overlook {

namespace {

// Our symbol names and the freedesktop icon names that mean the same.
const std::map<std::string, const char*>& themeNames() {
    static const std::map<std::string, const char*> names = {
        {"stop.fill", "media-playback-stop"}, {"play.fill", "media-playback-start"},
        {"display", "video-display"},         {"eye", "view-visible"},
        {"eye.slash", "view-hidden"},         {"macwindow.badge.plus", "window-new"},
        {"gear", "preferences-system"},
    };
    return names;
}

QToolButton* borderlessButton(const std::string& symbol, const QString& text, QWidget* parent) {
    auto* b = new QToolButton(parent);
    b->setAutoRaise(true); // borderless until hovered
    b->setToolButtonStyle(Qt::ToolButtonIconOnly);
    b->setIcon(symbolIcon(symbol));
    b->setText(text);
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}

QToolButton* smallButton(const std::string& symbol, QWidget* parent) {
    auto* b = borderlessButton(symbol, {}, parent);
    b->setFixedSize(20, 20);
    return b;
}

} // namespace

QIcon symbolIcon(const std::string& name) {
    // One icon per name for the life of the process: each new icon made from an
    // SVG puts its renderings into Qt's pixmap cache under keys of its own, so a
    // popover that made new ones each time it opened grew that cache for ever.
    static std::map<std::string, QIcon> made;
    if (made.empty()) // given back with the application, before the toolkit goes
        qAddPostRoutine([] { made.clear(); });
    if (const auto found = made.find(name); found != made.end())
        return found->second;
    QIcon icon(QString::fromStdString(":/icons/" + name + ".svg"));
    const auto it = themeNames().find(name);
    if (it != themeNames().end() && QIcon::hasThemeIcon(it->second))
        icon = QIcon::fromTheme(it->second, icon);
    return made.emplace(name, icon).first->second;
}

QIcon statusItemIcon() {
    const QIcon own(QStringLiteral(":/icons/MenubarIcon.svg"));
    const QString desktop = QString::fromLocal8Bit(qgetenv("XDG_CURRENT_DESKTOP")).toUpper();
    const bool recolours = desktop.contains("GNOME") || desktop.contains("KDE");
    if (recolours && QIcon::hasThemeIcon(QStringLiteral("overlook-symbolic")))
        return QIcon::fromTheme(QStringLiteral("overlook-symbolic"));
    return own;
}

std::string visibilityTooltip(const DisplayStreamer& s) {
    return "Toggle visibility of " + s.display().localizedName + ".";
}
std::string windowTooltip(const DisplayStreamer& s) {
    return "Create new window for " + s.display().localizedName + ".";
}
std::string streamTooltip(const DisplayStreamer& s) { return "Toggle the stream for " + s.display().localizedName; }

// ---- StreamLabel ----------------------------------------------------------------

StreamLabel::StreamLabel(std::shared_ptr<StreamController> controller, DisplayStreamerPtr stream, QWidget* parent)
    : QWidget(parent), controller_(std::move(controller)), stream_(std::move(stream)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(6, 2, 6, 2);
    auto* icon = new QLabel(this);
    icon->setPixmap(symbolIcon(stream_->display().iconName()).pixmap(16, 16));
    auto* names = new QVBoxLayout;
    names->setSpacing(0);
    auto* name = new QLabel(QString::fromStdString(stream_->display().localizedName), this);
    auto* kind = new QLabel(stream_->display().isMain ? "Main Display" : "Extended Display", this);
    QFont footnote = kind->font();
    footnote.setPointSizeF(footnote.pointSizeF() * 0.85);
    kind->setFont(footnote);
    kind->setForegroundRole(QPalette::PlaceholderText); // the secondary colour
    names->addWidget(name);
    names->addWidget(kind);
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addLayout(names);
    row->addStretch(1);

    visibility_ = smallButton("eye", this);
    window_ = smallButton("macwindow.badge.plus", this);
    streamButton_ = smallButton("play.fill", this);
    for (QToolButton* b : {visibility_, window_, streamButton_})
        row->addWidget(b, 0, Qt::AlignTop);
    visibility_->setToolTip(QString::fromStdString(visibilityTooltip(*stream_)));
    window_->setToolTip(QString::fromStdString(windowTooltip(*stream_)));
    streamButton_->setToolTip(QString::fromStdString(streamTooltip(*stream_)));

    // The row belongs to its list, which outlives the clicks on it.
    connect(visibility_, &QToolButton::clicked, this, [this] { controller_->toggleVisibility(stream_); });
    connect(window_, &QToolButton::clicked, this, [this] { makeStreamWindow(*stream_); });
    connect(streamButton_, &QToolButton::clicked, this, [this] { stream_->toggle(); });
    refresh();
}

std::string StreamLabel::visibilitySymbol() const { return stream_->isVisible.get() ? "eye" : "eye.slash"; }
std::string StreamLabel::streamSymbol() const { return stream_->isStreaming.get() ? "stop.fill" : "play.fill"; }

void StreamLabel::refresh() {
    visibility_->setIcon(symbolIcon(visibilitySymbol()));
    visibility_->setProperty("symbol", QString::fromStdString(visibilitySymbol()));
    streamButton_->setIcon(symbolIcon(streamSymbol()));
    streamButton_->setProperty("symbol", QString::fromStdString(streamSymbol()));
    // The last visible stream cannot be hidden from here.
    const auto visible = controller_->visibleStreams();
    visibility_->setEnabled(!(visible.size() == 1 && stream_->isVisible.get()));
    streamButton_->setEnabled(stream_->isVisible.get());
}

// ---- DisplaySourceList -----------------------------------------------------------

DisplaySourceList::DisplaySourceList(std::shared_ptr<StreamController> controller, QWidget* parent)
    : QWidget(parent), controller_(std::move(controller)) {
    setFixedWidth(350);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 6, 0, 6);
    auto* header = new QLabel("Displays", this);
    QFont bold = header->font();
    bold.setBold(true);
    header->setFont(bold);
    header->setContentsMargins(8, 0, 8, 2);
    layout->addWidget(header);
    rowsLayout_ = new QVBoxLayout;
    rowsLayout_->setSpacing(0);
    layout->addLayout(rowsLayout_);
    layout->addStretch(1);
    connections_.emplace_back(controller_->streams.changed.connect([this](const auto&) { rebuild(); }));
    rebuild();
}

void DisplaySourceList::rebuild() {
    for (StreamLabel* row : rows_)
        delete row;
    rows_.clear();
    streamConnections_.clear();
    for (const auto& s : controller_->streams.get()) {
        auto* row = new StreamLabel(controller_, s, this);
        rowsLayout_->addWidget(row);
        rows_.push_back(row);
        // Any row's enabling can depend on every stream's visibility.
        streamConnections_.emplace_back(s->isVisible.changed.connect([this](bool) { refresh(); }));
        streamConnections_.emplace_back(s->isStreaming.changed.connect([this](bool) { refresh(); }));
    }
}

void DisplaySourceList::refresh() {
    for (StreamLabel* row : rows_)
        row->refresh();
}

// ---- HoverControls ---------------------------------------------------------------

HoverControls::HoverControls(std::shared_ptr<StreamController> controller, bool isPopover, QWidget* parent)
    : QWidget(parent), controller_(std::move(controller)) {
    setFixedHeight(30);
    setMaximumWidth(275);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(4, 0, 4, 0);
    stopAll_ = borderlessButton("stop.fill", "Stop All", this);
    startAll_ = borderlessButton("play.fill", "Start All", this);
    stopAll_->setToolTip("Stop all display streams");
    startAll_->setToolTip("Start all display streams");
    row->addStretch(1);
    row->addWidget(stopAll_);
    row->addWidget(startAll_);
    row->addStretch(1);
    connect(stopAll_, &QToolButton::clicked, this, [this] { controller_->stopAll(); });
    connect(startAll_, &QToolButton::clicked, this, [this] { controller_->startAll(); });
    if (isPopover) {
        displays_ = borderlessButton("display", "Displays", this);
        displays_->setToolTip("Show display controls");
        row->addWidget(displays_);
        connect(displays_, &QToolButton::clicked, this, [this] { setShowDisplayList(!showDisplayList_); });
    }
    refresh();
}

HoverControls::~HoverControls() { delete list_; }

void HoverControls::setShowDisplayList(bool show) {
    if (show == showDisplayList_ || !displays_)
        return;
    showDisplayList_ = show;
    // The accent colour marks the open list.
    displays_->setForegroundRole(show ? QPalette::Highlight : QPalette::ButtonText);
    displays_->setDown(show);
    if (show) {
        // A tool window, not a popup: a popup would grab the keyboard and mouse,
        // and with them the global shortcut.
        list_ = new DisplaySourceList(controller_);
        list_->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
        list_->setAttribute(Qt::WA_ShowWithoutActivating);
        // Qt shows tooltips only in the active window, and this one never is.
        list_->setAttribute(Qt::WA_AlwaysShowToolTips);
        list_->adjustSize();
        const QPoint below = displays_->mapToGlobal(QPoint(displays_->width() / 2, displays_->height()));
        list_->move(below.x() - list_->width() / 2, below.y() + 4);
        list_->show();
    } else {
        delete std::exchange(list_, nullptr);
    }
}

void HoverControls::refresh() {
    const bool any = !controller_->streams.get().empty();
    stopAll_->setEnabled(any);
    startAll_->setEnabled(any);
    if (list_)
        list_->refresh();
}

// ---- DisplayView -----------------------------------------------------------------

struct DisplayView::Settings {
    Defaults::Observable<double> scale{Defaults::Keys::scale()};
    Defaults::Observable<bool> displayCrosshair{Defaults::Keys::displayCrosshair()};
    Defaults::Observable<GraphicsColor> crosshairColor{Defaults::Keys::crosshairColor()};
    Defaults::Observable<double> crosshairWeight{Defaults::Keys::crosshairWeight()};
    Defaults::Observable<bool> desaturationPausedStream{preferences::desaturationPausedStream()};
};

DisplayView::DisplayView(std::shared_ptr<StreamController> controller, bool isPopover, QWidget* parent)
    : QWidget(parent), controller_(std::move(controller)), settings_(std::make_unique<Settings>()) {
    if (!controller_)
        qFatal("DisplayView needs a stream controller");
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(0);
    hiddenLabel_ = new QLabel("All displays are hidden", this);
    hiddenLabel_->setMinimumSize(400, 400);
    hiddenLabel_->setAlignment(Qt::AlignCenter);
    QFont headline = hiddenLabel_->font();
    headline.setBold(true);
    headline.setPointSizeF(headline.pointSizeF() * 1.1);
    hiddenLabel_->setFont(headline);
    hiddenLabel_->setForegroundRole(QPalette::PlaceholderText);
    layout_->addWidget(hiddenLabel_, 1);
    // Streams start stopped, and a still grey picture looks broken unless it says why.
    pausedHint_ = new QLabel(QStringLiteral("Paused \u2014 press \u25b6 below to go live"), this);
    pausedHint_->setStyleSheet("QLabel { background: rgba(0, 0, 0, 170); color: white; border-radius: 6px;"
                               " padding: 5px 10px; }");
    pausedHint_->setAttribute(Qt::WA_TransparentForMouseEvents); // the picture stays draggable
    pausedHint_->hide();
    controls_ = new HoverControls(controller_, isPopover, this);
    layout_->addWidget(controls_, 0, Qt::AlignHCenter);

    // The stream view reads the controller's list and the settings through bindings.
    wrapper_ = std::make_unique<DisplayStreamView>(DisplayStreamView{
        {[c = controller_] { return c->streams.get(); },
         [c = controller_](const std::vector<DisplayStreamerPtr>& v) { c->streams = v; }},
        Binding<double>::to(scale_), Binding<bool>::to(showCrosshair_), Binding<double>::to(lineWidth_),
        {[s = settings_.get()] { return effectiveCrosshairColor(s->crosshairColor.value()).rendererColor(); },
         [](const Color&) {}},
        Binding<bool>::to(desaturate_)});

    connections_.emplace_back(controller_->objectWillChange.connect([this] { scheduleRefresh(); }));
    connections_.emplace_back(controller_->streams.changed.connect([this](const auto& streams) {
        observe(streams);
        scheduleRefresh();
    }));
    for (ObservableObject* o : std::initializer_list<ObservableObject*>{
             &settings_->scale, &settings_->displayCrosshair, &settings_->crosshairColor, &settings_->crosshairWeight,
             &settings_->desaturationPausedStream})
        connections_.emplace_back(o->objectWillChange.connect([this] { scheduleRefresh(); }));
    observe(controller_->streams.get());
    refresh();
}

DisplayView::~DisplayView() = default;

void DisplayView::observe(const std::vector<DisplayStreamerPtr>& streams) {
    streamConnections_.clear();
    // Published values announce after the change, so these refresh at once.
    for (const auto& s : streams) {
        streamConnections_.emplace_back(s->isVisible.changed.connect([this](bool) { refresh(); }));
        streamConnections_.emplace_back(s->isStreaming.changed.connect([this](bool) { refresh(); }));
    }
}

void DisplayView::scheduleRefresh() { refreshTask_.schedule(); }

void DisplayView::refresh() {
    scale_ = effectiveScale(settings_->scale.value());
    showCrosshair_ = settings_->displayCrosshair.value();
    lineWidth_ = effectiveCrosshairWeight(settings_->crosshairWeight.value());
    desaturate_ = settings_->desaturationPausedStream.value();

    const bool anyVisible = !controller_->visibleStreams().empty();
    if (anyVisible && !streamView_) {
        streamView_ = wrapper_->makeView(this);
        layout_->insertWidget(0, streamView_, 1);
    } else if (!anyVisible && streamView_) {
        delete std::exchange(streamView_, nullptr);
    }
    hiddenLabel_->setVisible(!anyVisible);
    if (streamView_)
        wrapper_->updateView(streamView_);
    const auto visible = controller_->visibleStreams();
    pausedHint_->setVisible(std::none_of(visible.begin(), visible.end(),
                                         [](const auto& s) { return s->isStreaming.get(); }) &&
                            anyVisible);
    placePausedHint();
    controls_->refresh();
}

void DisplayView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    placePausedHint();
}

void DisplayView::placePausedHint() {
    if (!streamView_)
        return;
    pausedHint_->adjustSize();
    const QRect picture = streamView_->geometry();
    pausedHint_->move(picture.center() - QPoint(pausedHint_->width() / 2, pausedHint_->height() / 2));
    pausedHint_->raise();
}

// ---- ContentView -----------------------------------------------------------------

ContentView::ContentView(QWidget* parent) : ContentView(makeStreamController(), parent) {}

ContentView::ContentView(std::shared_ptr<StreamController> controller, QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    displayView_ = new DisplayView(std::move(controller), true, this);
    layout->addWidget(displayView_);
}

} // namespace overlook
