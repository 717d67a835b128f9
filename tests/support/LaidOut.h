#pragma once
// A control no layout places sits over the others at the top left, yet the pane builds.

#include <QAbstractButton>
#include <QComboBox>
#include <QLayout>
#include <QLineEdit>
#include <QSlider>
#include <QStringList>
#include <QWidget>

#include <string>

namespace overlook::test {

inline bool holds(const QLayout* layout, const QWidget* w) {
    if (layout->indexOf(w) >= 0)
        return true;
    for (int i = 0; i < layout->count(); ++i)
        if (const QLayout* inner = layout->itemAt(i)->layout(); inner && holds(inner, w))
            return true;
    return false;
}

// The buttons, boxes and sliders no layout places, by text (or class), comma-separated.
inline std::string controlsOutsideLayouts(const QWidget& pane) {
    QStringList outside;
    for (QWidget* w : pane.findChildren<QWidget*>()) {
        const auto* button = qobject_cast<QAbstractButton*>(w);
        if (!button && !qobject_cast<QComboBox*>(w) && !qobject_cast<QSlider*>(w))
            continue;
        const QWidget* parent = w->parentWidget();
        if (qobject_cast<const QLineEdit*>(parent))
            continue; // a line edit's own buttons
        if (w->isVisibleTo(&pane) && !(parent && parent->layout() && holds(parent->layout(), w)))
            outside << (button && !button->text().isEmpty() ? button->text() : w->metaObject()->className());
    }
    return outside.join(", ").toStdString();
}

} // namespace overlook::test
