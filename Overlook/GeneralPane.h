#pragma once

#include "Foundation/CoalescedTask.h"
// The General pane of the preferences window: the preview resolution, what new
// popovers and windows do, the crosshair with its colour and line width, and the
// global shortcut that opens the popover. Every control is bound straight to its
// setting: a change is stored at once, open previews follow it, and a change made
// elsewhere moves the control. Main thread only.

#include "Overlook/GraphicsColor.h"

#include <QToolButton>
#include <QWidget>

#include <functional>
#include <memory>

class QCheckBox;
class QColorDialog;
class QComboBox;
class QLabel;
class QSlider;

namespace overlook {

namespace KeyboardShortcuts {
class RecorderCocoa;
}

// A colour well: a swatch of the selected colour that opens the colour dialog
// (with the application's colours among its custom colours). Picking a colour there
// writes it through the binding as it changes; cancelling (Escape) puts back the
// colour the well had when the dialog opened. Closing the dialog keeps the pick.
class KtColorPicker final : public QToolButton {
public:
    // The two halves of the binding to the selected colour.
    using Get = std::function<GraphicsColor()>;
    using Set = std::function<void(const GraphicsColor&)>;

    // Calls its handler with the well whenever the well's colour changes by the user.
    struct Coordinator {
        explicit Coordinator(std::function<void(KtColorPicker&)> handler) : actionHandler(std::move(handler)) {}
        void action(KtColorPicker& sender) const { actionHandler(sender); }
        std::function<void(KtColorPicker&)> actionHandler;
    };

    KtColorPicker(Get selection, Set setSelection, QWidget* parent = nullptr);

    // The well's colour.
    QColor color() const { return color_; }
    // Re-reads the selection (the binding changed).
    void updateFromSelection();
    // As the user picking `color` in the dialog.
    void pick(const QColor& color);
    // The open colour dialog, if any.
    QColorDialog* dialog() const { return dialog_; }

    static QColor toQColor(const GraphicsColor& color);
    static GraphicsColor toGraphicsColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void openDialog();

    Get selection_;
    Coordinator coordinator_;
    QColor color_;
    QColorDialog* dialog_ = nullptr;
    QColor colorBeforeDialog_;
};

class GeneralPreferences final : public QWidget {
public:
    explicit GeneralPreferences(QWidget* parent = nullptr);
    ~GeneralPreferences() override;

    QComboBox* previewScale() const { return scale_; }
    QCheckBox* autoPlay() const { return autoPlay_; }
    QCheckBox* hideMainDisplay() const { return hideMainDisplay_; }
    QCheckBox* displayCrosshair() const { return displayCrosshair_; }
    QCheckBox* startAtLogin() const { return startAtLogin_; }
    KtColorPicker* crosshairColor() const { return color_; }
    QSlider* lineWidth() const { return lineWidth_; }
    // The width being set, in pixels, beside the slider (its end labels are "1" and "10").
    QLabel* lineWidthValue() const { return lineWidthValue_; }
    KeyboardShortcuts::RecorderCocoa* shortcutRecorder() const { return recorder_; }
    QLabel* shortcutNote() const { return shortcutNote_; }
    // Shown where the crosshair cannot be drawn, with its settings disabled.
    QLabel* crosshairNote() const { return crosshairNote_; }
    // The row widgets that follow the crosshair switch.
    QWidget* colorRow() const { return colorRow_; }
    QWidget* lineWidthRow() const { return lineWidthRow_; }

    // Reads every control's value from the settings.
    void refresh();

private:
    void scheduleRefresh();

    QComboBox* scale_;
    QCheckBox* autoPlay_;
    QCheckBox* hideMainDisplay_;
    QCheckBox* displayCrosshair_;
    QLabel* crosshairNote_;
    QWidget* colorRow_;
    KtColorPicker* color_;
    QWidget* lineWidthRow_;
    QLabel* lineWidthLabel_;
    QSlider* lineWidth_;
    QLabel* lineWidthValue_;
    KeyboardShortcuts::RecorderCocoa* recorder_;
    QLabel* shortcutNote_;
    QCheckBox* startAtLogin_;
    struct Bindings;
    std::unique_ptr<Bindings> bindings_;
    std::shared_ptr<GeneralPreferences*> alive_ = std::make_shared<GeneralPreferences*>(this);
    // Will-change signals come before the change: the values are read afterwards.
    CoalescedTask refreshTask_{[this] { refresh(); }};
};

} // namespace overlook
