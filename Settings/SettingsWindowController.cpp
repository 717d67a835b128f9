#include "Settings/SettingsWindowController.h"

#include "Foundation/Logger.h"
#include "settings_store/UserDefaults.h"

#include <QActionGroup>
#include <QApplication>
#include <QButtonGroup>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QScreen>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <QVariantAnimation>
#include <QWidgetAction>

namespace overlook::Settings {

namespace {

const Logger& log() {
    static const Logger logger(logs::kApplication, "SettingsWindowController");
    return logger;
}

bool isUserInput(QEvent::Type type) {
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::ShortcutOverride:
        return true;
    default:
        return false;
    }
}

// "x y width height" of the window's client area, y down.
QString frameText(const QRect& r) {
    return QStringLiteral("%1 %2 %3 %4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

std::optional<QRect> frameFromText(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() != 4)
        return std::nullopt;
    int numbers[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        numbers[i] = parts[i].toInt(&ok);
        if (!ok)
            return std::nullopt;
    }
    if (numbers[2] <= 0 || numbers[3] <= 0)
        return std::nullopt;
    return QRect(numbers[0], numbers[1], numbers[2], numbers[3]);
}

} // namespace

// ---- the window -----------------------------------------------------------------

UserInteractionPausableWindow::UserInteractionPausableWindow()
    : QMainWindow(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    setContextMenuPolicy(Qt::PreventContextMenu);
}

void UserInteractionPausableWindow::setUserInteractionEnabled(bool enabled) {
    if (enabled == isUserInteractionEnabled_)
        return;
    isUserInteractionEnabled_ = enabled;
    // Input goes straight to the child that is hit, so the pause has to look at all of it.
    if (enabled)
        qApp->removeEventFilter(this);
    else
        qApp->installEventFilter(this);
}

bool UserInteractionPausableWindow::eventFilter(QObject* watched, QEvent* event) {
    if (!isUserInteractionEnabled_ && isUserInput(event->type()) && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this)
        return true;
    return QMainWindow::eventFilter(watched, event);
}

void UserInteractionPausableWindow::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    if (isVisible())
        Q_EMIT frameChanged();
}

void UserInteractionPausableWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    if (isVisible())
        Q_EMIT frameChanged();
}

void UserInteractionPausableWindow::hideEvent(QHideEvent* event) {
    Q_EMIT frameChanged();
    QMainWindow::hideEvent(event);
}

// ---- style controllers --------------------------------------------------------------

class SettingsWindowController::StyleController {
public:
    virtual ~StyleController() = default;
    virtual void selectTab(std::size_t index) = 0;
    virtual std::optional<std::size_t> selectedTab() const = 0;
};

// One checkable icon-and-label button per pane, in pane order.
class SettingsWindowController::ToolbarItemStyleController final : public StyleController {
public:
    ToolbarItemStyleController(SettingsWindowController& owner, QToolBar& toolbar) {
        auto* group = new QActionGroup(&toolbar);
        group->setExclusive(true);
        for (std::size_t i = 0; i < owner.panes_.size(); ++i) {
            const Pane& pane = owner.panes_[i];
            QAction* item = toolbar.addAction(pane.toolbarIcon, pane.title);
            item->setObjectName(QString::fromStdString(pane.identifier.rawValue));
            item->setCheckable(true);
            group->addAction(item);
            const PaneIdentifier id = pane.identifier;
            QObject::connect(item, &QAction::triggered, &owner, [&owner, id] { owner.select(id); });
            items_.push_back(item);
        }
    }
    void selectTab(std::size_t index) override { items_.at(index)->setChecked(true); }
    std::optional<std::size_t> selectedTab() const override {
        for (std::size_t i = 0; i < items_.size(); ++i)
            if (items_[i]->isChecked())
                return i;
        return std::nullopt;
    }

private:
    std::vector<QAction*> items_;
};

// One row of joined buttons in the middle of the toolbar.
class SettingsWindowController::SegmentedControlStyleController final : public StyleController {
public:
    SegmentedControlStyleController(SettingsWindowController& owner, QToolBar& toolbar) {
        auto* control = new QWidget(&toolbar);
        control->setObjectName(QStringLiteral("toolbarSegmentedControl"));
        auto* row = new QHBoxLayout(control);
        row->setContentsMargins(0, 4, 0, 4);
        row->setSpacing(0);
        row->addStretch(1);
        group_ = new QButtonGroup(control);
        group_->setExclusive(true);
        for (std::size_t i = 0; i < owner.panes_.size(); ++i) {
            auto* segment = new QToolButton(control);
            segment->setText(owner.panes_[i].title);
            segment->setCheckable(true);
            segment->setAutoRaise(false);
            segment->setObjectName(QString::fromStdString(owner.panes_[i].identifier.rawValue));
            group_->addButton(segment, static_cast<int>(i));
            row->addWidget(segment);
            const PaneIdentifier id = owner.panes_[i].identifier;
            QObject::connect(segment, &QToolButton::clicked, &owner, [&owner, id] { owner.select(id); });
        }
        row->addStretch(1);
        control->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        auto* item = new QWidgetAction(&toolbar);
        item->setObjectName(QStringLiteral("toolbarSegmentedControlItem"));
        item->setDefaultWidget(control);
        toolbar.addAction(item);
    }
    void selectTab(std::size_t index) override { group_->button(static_cast<int>(index))->setChecked(true); }
    std::optional<std::size_t> selectedTab() const override {
        const int id = group_->checkedId();
        return id < 0 ? std::nullopt : std::optional<std::size_t>(static_cast<std::size_t>(id));
    }

private:
    QButtonGroup* group_;
};

// ---- the controller ---------------------------------------------------------------------

QEasingCurve SettingsWindowController::switchCurve() {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0.42, 0.0), QPointF(0.58, 1.0), QPointF(1.0, 1.0));
    return curve;
}

SettingsWindowController::SettingsWindowController(std::vector<Pane> panes, Style style, bool animated,
                                                   bool hidesToolbarForSingleItem,
                                                   std::shared_ptr<UserDefaults> frameStore)
    : panes_(std::move(panes)), style_(style), isAnimated_(animated),
      hidesToolbarForSingleItem_(hidesToolbarForSingleItem),
      frameStore_(frameStore ? std::move(frameStore) : UserDefaults::standard()) {
    if (panes_.empty())
        qFatal("SettingsWindowController needs at least one pane");
    for (const Pane& pane : panes_)
        if (!pane.content)
            qFatal("The settings pane \"%s\" has no content", pane.identifier.rawValue.c_str());

    window_ = std::make_unique<UserInteractionPausableWindow>();
    container_ = new QWidget(window_.get());
    auto* layout = new QVBoxLayout(container_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    window_->setCentralWidget(container_);
    for (Pane& pane : panes_) {
        pane.content->setParent(container_);
        pane.content->hide();
    }

    toolbar_ = new QToolBar(window_.get());
    toolbar_->setObjectName(QStringLiteral("SettingsToolbar"));
    toolbar_->setMovable(false);
    toolbar_->setFloatable(false);
    toolbar_->setContextMenuPolicy(Qt::PreventContextMenu);
    toolbar_->toggleViewAction()->setEnabled(false);
    toolbar_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    toolbar_->setIconSize(QSize(24, 24));
    window_->addToolBar(Qt::TopToolBarArea, toolbar_);
    if (style_ == Style::toolbarItems)
        styleController_ = std::make_unique<ToolbarItemStyleController>(*this, *toolbar_);
    else
        styleController_ = std::make_unique<SegmentedControlStyleController>(*this, *toolbar_);
    toolbar_->setVisible(!(hidesToolbarForSingleItem_ && panes_.size() == 1));

    // Sized for the first pane until a pane is shown.
    window_->setFixedSize(frameFor(panes_.front().content, QRect()).size());

    connect(window_.get(), &UserInteractionPausableWindow::frameChanged, this, [this] { saveFrame(); });
}

SettingsWindowController::~SettingsWindowController() {
    if (animation_)
        animation_->stop();
    // The window owns the panes' content; it goes first so nothing is left pointing at it.
    window_.reset();
}

std::optional<PaneIdentifier> SettingsWindowController::selectedItemIdentifier() const {
    if (auto index = styleController_->selectedTab())
        return panes_[*index].identifier;
    return std::nullopt;
}

bool SettingsWindowController::isSwitching() const {
    return animation_ && animation_->state() == QAbstractAnimation::Running;
}

void SettingsWindowController::select(const PaneIdentifier& identifier) {
    std::size_t index = 0;
    for (std::size_t i = 0; i < panes_.size(); ++i)
        if (panes_[i].identifier == identifier) {
            index = i;
            break;
        }
    activate(index, true);
}

QRect SettingsWindowController::frameFor(QWidget* content, const QRect& from) const {
    // The pane's fitting size: what its layout asks for, never below its minimum.
    QSize size = content->sizeHint()
                     .expandedTo(content->minimumSizeHint())
                     .expandedTo(content->minimumSize())
                     .expandedTo(QSize(1, 1));
    if (toolbar_->isVisibleTo(window_.get())) {
        const QSize bar = toolbar_->sizeHint();
        size = QSize(std::max(size.width(), bar.width()), size.height() + bar.height());
    }
    // The top edge stays; the left edge too, unless the window keeps its middle.
    const int left = isKeepingWindowCentered() ? from.center().x() + 1 - size.width() / 2 : from.left();
    return QRect(QPoint(left, from.top()), size);
}

void SettingsWindowController::setFrame(const QRect& frame) {
    window_->setFixedSize(frame.size());
    window_->setGeometry(frame);
}

void SettingsWindowController::activate(std::size_t index, bool animated) {
    if (index >= panes_.size())
        index = 0;
    QWidget* next = panes_[index].content;
    auto* layout = static_cast<QVBoxLayout*>(container_->layout());

    if (!activeTab_) {
        layout->addWidget(next);
        next->show();
        setFrame(frameFor(next, window_->geometry()));
    } else if (*activeTab_ != index) {
        // A switch still running ends at once: its pane is the one we leave.
        if (isSwitching())
            animation_->setCurrentTime(animation_->duration());
        finishSwitch();
        QWidget* previous = panes_[*activeTab_].content;
        const QRect from = window_->geometry();
        const bool animate = animated && isAnimated_ && window_->isVisible();
        QPixmap picture;
        if (animate)
            picture = previous->grab();
        layout->removeWidget(previous);
        previous->hide();
        layout->addWidget(next);
        next->show();
        const QRect to = frameFor(next, from);
        if (!animate) {
            setFrame(to);
        } else {
            // The old pane's picture fades out over the new pane while the window
            // follows the new pane's size.
            fadingPane_ = new QLabel(container_);
            fadingPane_->setPixmap(picture);
            fadingPane_->setGeometry(QRect(QPoint(0, 0), picture.size() / picture.devicePixelRatio()));
            fadingPane_->setAttribute(Qt::WA_TransparentForMouseEvents);
            auto* opacity = new QGraphicsOpacityEffect(fadingPane_);
            fadingPane_->setGraphicsEffect(opacity);
            fadingPane_->show();
            fadingPane_->raise();

            window_->setUserInteractionEnabled(false);
            animation_ = new QVariantAnimation(this);
            animation_->setDuration(kSwitchDurationMs);
            animation_->setEasingCurve(switchCurve());
            animation_->setStartValue(0.0);
            animation_->setEndValue(1.0);
            connect(animation_, &QVariantAnimation::valueChanged, this,
                    [this, from, to, opacity](const QVariant& value) {
                        const double t = value.toDouble();
                        const auto mix = [t](int a, int b) { return a + static_cast<int>(std::lround((b - a) * t)); };
                        setFrame(QRect(mix(from.left(), to.left()), from.top(), mix(from.width(), to.width()),
                                       mix(from.height(), to.height())));
                        opacity->setOpacity(1.0 - t);
                    });
            connect(animation_, &QVariantAnimation::finished, this, [this] { finishSwitch(); });
            animation_->start(QAbstractAnimation::DeleteWhenStopped);
        }
    }
    activeTab_ = index;
    styleController_->selectTab(index);
    updateTitle();
    Q_EMIT paneActivated(index);
}

void SettingsWindowController::finishSwitch() {
    if (fadingPane_)
        delete fadingPane_.data();
    window_->setUserInteractionEnabled(true);
}

void SettingsWindowController::updateTitle() {
    if (panes_.size() > 1)
        window_->setWindowTitle(panes_[*activeTab_].title);
    else
        window_->setWindowTitle(applicationName() + QLatin1Char(' ') + localizedString("settings"));
}

void SettingsWindowController::show(const std::optional<PaneIdentifier>& identifier) {
    if (identifier) {
        std::size_t index = 0;
        for (std::size_t i = 0; i < panes_.size(); ++i)
            if (panes_[i].identifier == *identifier) {
                index = i;
                break;
            }
        activate(index, false);
    } else if (!activeTab_) {
        activate(0, false);
    }
    const bool wasVisible = window_->isVisible();
    window_->show();
    if (!wasVisible) {
        // Centred first, so that a missing or unusable saved frame still leaves it placed well.
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame = window_->geometry();
            frame.moveCenter(screen->availableGeometry().center());
            setFrame(frame);
        }
        restoreSavedFrame();
        autosaves_ = true;
        saveFrame();
    }
    window_->raise();
    window_->activateWindow();
}

void SettingsWindowController::restoreSavedFrame() {
    const auto stored = frameStore_->object(kFrameAutosaveName);
    if (!stored)
        return;
    const auto* text = stored->get<std::string>();
    const auto saved = text ? frameFromText(QString::fromStdString(*text)) : std::nullopt;
    if (!saved) {
        log().error("Ignoring the saved preferences window frame under %s: it is not \"x y width height\"",
                    kFrameAutosaveName);
        return;
    }
    // Only the place comes back: the size always follows the pane shown now, and a
    // frame left on a screen that is gone would put the window out of reach.
    QRect frame = window_->geometry();
    frame.moveTopLeft(saved->topLeft());
    if (!QGuiApplication::screenAt(frame.center())) {
        log().info("The saved preferences window frame is on no screen; keeping the window centred");
        return;
    }
    setFrame(frame);
}

void SettingsWindowController::saveFrame() const {
    if (!autosaves_)
        return;
    const auto result = frameStore_->set(kFrameAutosaveName, PropertyList(frameText(window_->geometry()).toStdString()));
    if (!result)
        log().error("Cannot save the preferences window frame: %s", result.error.c_str());
}

} // namespace overlook::Settings
