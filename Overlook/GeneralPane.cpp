#include "Overlook/GeneralPane.h"

#include "Foundation/Logger.h"
#include "Foundation/MainQueue.h"
#include "KeyboardShortcuts/RecorderCocoa/RecorderCocoa.h"
#include "Overlook/LoginItem.h"
#include "Overlook/PreferenceKeys.h"
#include "Overlook/ShortcutPath.h"
#include "Overlook/StreamQuality.h"
#include "Tessera/DisplayQueryService.h"
#include "settings_store/DefaultsObservation.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QKeyEvent>
#include <QComboBox>
#include <QSignalBlocker>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QSlider>
#include <QVBoxLayout>

#include <cmath>

namespace overlook {

namespace {
const Logger& generalLog() {
    static const Logger log(logs::kApplication, "GeneralPreferences");
    return log;
}
} // namespace

namespace {

// The slider's range and step; its end labels read "1" and "10".
constexpr int kMinimumLineWidth = preferences::kMinimumCrosshairWeight;
constexpr int kMaximumLineWidth = preferences::kMaximumCrosshairWeight;

double unit(double component) { return std::isfinite(component) ? std::clamp(component, 0.0, 1.0) : 0.0; }

// Sets a control from the settings without writing the value back.
template <class Widget, class Apply>
void quietly(Widget* w, Apply apply) {
    const QSignalBlocker blocker(w);
    apply();
}

} // namespace

// ---- KtColorPicker -------------------------------------------------------------------

QColor KtColorPicker::toQColor(const GraphicsColor& c) {
    // A stored colour may hold anything; the well shows the nearest colour it can.
    return QColor::fromRgbF(float(unit(c.red)), float(unit(c.green)), float(unit(c.blue)), float(unit(c.alpha)));
}

GraphicsColor KtColorPicker::toGraphicsColor(const QColor& color) {
    const QColor rgb = color.toRgb();
    return GraphicsColor::genericRGB(rgb.redF(), rgb.greenF(), rgb.blueF(), rgb.alphaF());
}

KtColorPicker::KtColorPicker(Get selection, Set setSelection, QWidget* parent)
    : QToolButton(parent), selection_(std::move(selection)),
      coordinator_([set = std::move(setSelection)](KtColorPicker& sender) { set(toGraphicsColor(sender.color())); }) {
    setFixedSize(45, 24);
    setToolTip(tr("Crosshair Color"));
    connect(this, &QToolButton::clicked, this, [this] { openDialog(); });
    updateFromSelection();
}

void KtColorPicker::updateFromSelection() {
    color_ = toQColor(selection_());
    update();
}

void KtColorPicker::pick(const QColor& color) {
    color_ = color;
    update();
    coordinator_.action(*this);
}

void KtColorPicker::openDialog() {
    if (!dialog_) {
        dialog_ = new QColorDialog(this);
        // Ours, not the desktop's: only ours lists the application's colours.
        dialog_->setOptions(QColorDialog::DontUseNativeDialog | QColorDialog::ShowAlphaChannel);
        dialog_->setWindowTitle(tr("Crosshair Color"));
        connect(dialog_, &QColorDialog::currentColorChanged, this, [this](const QColor& c) {
            if (c.isValid() && c != color_)
                pick(c);
        });
        // The picture follows the colour while it is chosen; OK keeps it, Cancel (and
        // Escape) put back the colour from before, the close button keeps the pick.
        if (auto* buttons = dialog_->findChild<QDialogButtonBox*>())
            if (QPushButton* cancel = buttons->button(QDialogButtonBox::Cancel))
                connect(cancel, &QPushButton::clicked, this, [this] {
                    if (colorBeforeDialog_.isValid() && colorBeforeDialog_ != color_)
                        pick(colorBeforeDialog_);
                });
        dialog_->installEventFilter(this);
    }
    colorBeforeDialog_ = color_;
    dialog_->setCurrentColor(color_);
    dialog_->show();
    dialog_->raise();
    dialog_->activateWindow();
}

bool KtColorPicker::eventFilter(QObject* watched, QEvent* event) {
    if (watched == dialog_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        if (colorBeforeDialog_.isValid() && colorBeforeDialog_ != color_)
            pick(colorBeforeDialog_);
        dialog_->hide();
        return true;
    }
    return QToolButton::eventFilter(watched, event);
}

void KtColorPicker::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Mid));
    p.setBrush(palette().color(QPalette::Button));
    p.drawRoundedRect(frame, 4, 4);
    QColor swatch = color_;
    if (!isEnabled())
        swatch.setAlphaF(swatch.alphaF() * 0.4f);
    p.setPen(Qt::NoPen);
    p.setBrush(swatch);
    p.drawRoundedRect(frame.adjusted(4, 4, -4, -4), 2, 2);
}

// ---- GeneralPreferences -------------------------------------------------------------

struct GeneralPreferences::Bindings {
    // Creating these creates the typed keys, which registers their defaults.
    Defaults::Observable<bool> displayCrosshair{Defaults::Keys::displayCrosshair()};
    Defaults::Observable<double> scale{Defaults::Keys::scale()};
    Defaults::Observable<GraphicsColor> crosshairColor{Defaults::Keys::crosshairColor()};
    Defaults::Observable<double> crosshairWeight{Defaults::Keys::crosshairWeight()};
    // The view-level settings, by name, with false as their default at this use site.
    std::shared_ptr<UserDefaults> store = Defaults::Keys::displayCrosshair().suitePointer();
    std::vector<UserDefaults::ObserverId> observers;
    std::vector<ScopedConnection> connections;

    bool readBool(const char* key) const { return store->boolForKey(key); }
    void writeBool(const char* key, bool on) const { store->set(key, PropertyList(on)); }
};

GeneralPreferences::GeneralPreferences(QWidget* parent)
    : QWidget(parent), bindings_(std::make_unique<Bindings>()) {
    setFixedWidth(600);
    auto* outer = new QVBoxLayout(this);
    auto* form = new QWidget(this);
    form->setFixedWidth(400);
    outer->addWidget(form, 0, Qt::AlignHCenter);
    auto* rows = new QFormLayout(form);
    rows->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    rows->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    const int spacing = style()->pixelMetric(QStyle::PM_LayoutVerticalSpacing);
    const auto gap = [&] { rows->addItem(new QSpacerItem(0, std::max(spacing, 6), QSizePolicy::Minimum, QSizePolicy::Fixed)); };

    // 1. Preview Scale: the four resolutions, tagged with their divisors.
    scale_ = new QComboBox(form);
    for (StreamQuality q : kAllStreamQualities)
        scale_->addItem(tr(description(q)), rawValue(q));
    rows->addRow(tr("Preview Scale:"), scale_);

    // 2. New Windows: two toggles.
    auto* newWindows = new QWidget(form);
    auto* toggles = new QVBoxLayout(newWindows);
    toggles->setContentsMargins(0, 0, 0, 0);
    autoPlay_ = new QCheckBox(tr("Play streams by default"), newWindows);
    hideMainDisplay_ = new QCheckBox(tr("Hide main display"), newWindows);
    toggles->addWidget(autoPlay_);
    toggles->addWidget(hideMainDisplay_);
    gap();
    rows->addRow(tr("New Windows:"), newWindows);

    // 3. The crosshair switch.
    gap();
    displayCrosshair_ = new QCheckBox(tr("Display cursor crosshair in previews"), form);
    rows->addRow(QString(), displayCrosshair_);
    // Said instead of offering settings that do nothing.
    crosshairNote_ = new QLabel(tr("The crosshair cannot be drawn in this session: the desktop does not tell "
                                   "applications where the pointer is."),
                                form);
    crosshairNote_->setWordWrap(true);
    crosshairNote_->setForegroundRole(QPalette::PlaceholderText);
    rows->addRow(crosshairNote_);

    // 4. Its colour.
    colorRow_ = new QLabel(tr("Crosshair Color:"), form);
    color_ = new KtColorPicker([b = bindings_.get()] { return effectiveCrosshairColor(b->crosshairColor.value()); },
                               [b = bindings_.get()](const GraphicsColor& c) { b->crosshairColor.setValue(c); }, form);
    rows->addRow(static_cast<QLabel*>(colorRow_), color_);

    // 5. Its line width.
    lineWidthRow_ = new QWidget(form);
    auto* slider = new QHBoxLayout(lineWidthRow_);
    slider->setContentsMargins(0, 0, 0, 0);
    lineWidth_ = new QSlider(Qt::Horizontal, lineWidthRow_);
    lineWidth_->setRange(kMinimumLineWidth, kMaximumLineWidth);
    lineWidth_->setSingleStep(1);
    lineWidth_->setPageStep(1);
    lineWidth_->setMinimumWidth(160);
    slider->addWidget(new QLabel(QStringLiteral("1"), lineWidthRow_));
    slider->addWidget(lineWidth_, 1);
    slider->addWidget(new QLabel(QStringLiteral("10"), lineWidthRow_));
    // The end labels say little about the width stored: show it while it is set.
    lineWidthValue_ = new QLabel(lineWidthRow_);
    lineWidthValue_->setMinimumWidth(lineWidthValue_->fontMetrics().horizontalAdvance(QStringLiteral("12 px")) + 4);
    lineWidthValue_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    slider->addWidget(lineWidthValue_);
    lineWidthLabel_ = new QLabel(tr("Line Width:"), form);
    rows->addRow(lineWidthLabel_, lineWidthRow_);

    // 6. The shortcut that opens the popover.
    gap();
    recorder_ = new KeyboardShortcuts::RecorderCocoa(KeyboardShortcuts::Name::showPopover(), {}, form);
    rows->addRow(tr("Show Overlook:"), recorder_);
    // Where the session lends the shortcut to the desktop, what became of it.
    shortcutNote_ = new QLabel(form);
    shortcutNote_->setWordWrap(true);
    shortcutNote_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    shortcutNote_->setForegroundRole(QPalette::PlaceholderText);
    rows->addRow(shortcutNote_); // the full width: it can be long
    const auto showNote = [this, rows](const ShortcutPath& path) {
        // Where only a compositor binding reaches us, a recorded combination would do nothing.
        rows->setRowVisible(recorder_, path.kind != ShortcutPath::Kind::Compositor);
        shortcutNote_->setText(QString::fromStdString(path.note));
        rows->setRowVisible(shortcutNote_, !path.note.empty());
    };
    showNote(shortcutPath());
    bindings_->connections.emplace_back(shortcutPathChanged().connect(showNote));

    // 7. Starting with the session: the autostart entry is the setting.
    startAtLogin_ = new QCheckBox(tr("Start at login"), form);
    startAtLogin_->setChecked(LoginItem::isEnabled());
    rows->addRow(QString(), startAtLogin_);
    outer->addStretch(1);

    // Controls write their settings at once.
    connect(scale_, &QComboBox::activated, this,
            [this](int index) { bindings_->scale.setValue(scale_->itemData(index).toDouble()); });
    connect(autoPlay_, &QCheckBox::toggled, this,
            [this](bool on) { bindings_->writeBool(preferences::kAutoPlay, on); });
    connect(hideMainDisplay_, &QCheckBox::toggled, this,
            [this](bool on) { bindings_->writeBool(preferences::kHideMainDisplay, on); });
    connect(displayCrosshair_, &QCheckBox::toggled, this, [this](bool on) {
        bindings_->displayCrosshair.setValue(on);
        refresh(); // the rows it governs follow at once
    });
    connect(startAtLogin_, &QCheckBox::toggled, this, [this](bool on) {
        if (auto error = LoginItem::setEnabled(on)) {
            generalLog().error("Start at login: %s", error->c_str());
            const QSignalBlocker quiet(startAtLogin_);
            startAtLogin_->setChecked(LoginItem::isEnabled()); // show what is true
        }
    });
    connect(lineWidth_, &QSlider::valueChanged, this,
            [this](int width) {
                bindings_->crosshairWeight.setValue(double(width));
                lineWidthValue_->setText(tr("%1 px").arg(width));
                lineWidth_->setToolTip(tr("Line width: %1 px").arg(width));
            });

    // And follow them, whoever changes them.
    for (ObservableObject* o : std::initializer_list<ObservableObject*>{
             &bindings_->displayCrosshair, &bindings_->scale, &bindings_->crosshairColor, &bindings_->crosshairWeight})
        bindings_->connections.emplace_back(o->objectWillChange.connect([this] { scheduleRefresh(); }));
    std::weak_ptr<GeneralPreferences*> weak = alive_;
    for (const char* key : {preferences::kAutoPlay, preferences::kHideMainDisplay})
        bindings_->observers.push_back(
            bindings_->store->addObserver(key, ObservingOptions::New, [weak](const StoreChange&) {
                mainQueue().async([weak] {
                    if (auto self = weak.lock())
                        (*self)->refresh();
                });
            }));
    refresh();
}

GeneralPreferences::~GeneralPreferences() {
    for (auto id : bindings_->observers)
        bindings_->store->removeObserver(id);
    alive_.reset();
}

void GeneralPreferences::scheduleRefresh() { refreshTask_.schedule(); }

void GeneralPreferences::refresh() {
    const Bindings& b = *bindings_;
    // A stored scale that is none of the four selects nothing.
    quietly(scale_, [&] { scale_->setCurrentIndex(scale_->findData(b.scale.value())); });
    quietly(autoPlay_, [&] { autoPlay_->setChecked(b.readBool(preferences::kAutoPlay)); });
    quietly(hideMainDisplay_, [&] { hideMainDisplay_->setChecked(b.readBool(preferences::kHideMainDisplay)); });
    // The renderer draws the crosshair only where the service knows the pointer.
    const auto service = sharedDisplayQueryService();
    const bool drawable = !service || std::isfinite(service->mouseLocation().x);
    crosshairNote_->setVisible(!drawable);
    displayCrosshair_->setEnabled(drawable);
    const bool crosshair = b.displayCrosshair.value() && drawable;
    quietly(displayCrosshair_, [&] { displayCrosshair_->setChecked(b.displayCrosshair.value()); });
    color_->updateFromSelection();
    const double weight = effectiveCrosshairWeight(b.crosshairWeight.value());
    quietly(lineWidth_, [&] { lineWidth_->setValue(int(std::lround(weight))); });
    lineWidthValue_->setText(tr("%1 px").arg(lineWidth_->value()));
    lineWidth_->setToolTip(tr("Line width: %1 px").arg(lineWidth_->value()));
    // The colour and the width only matter with the crosshair on; their values stay.
    for (QWidget* w : std::initializer_list<QWidget*>{colorRow_, color_, lineWidthLabel_, lineWidthRow_})
        w->setEnabled(crosshair);
}

} // namespace overlook
