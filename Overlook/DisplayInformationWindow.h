#pragma once
// "Display Information" in a small window whose text can be selected and copied:
// every display by its name, with the facts a person asks for, one per line. The
// log keeps its own, terser description.

#include "Overlook/LocalDisplayManager.h"

#include <QString>
#include <QWidget>

#include <vector>

class QPlainTextEdit;

namespace overlook {

// What the window shows for the given displays: for each, a first line with its name
// (and "main display" on the main one), then "Resolution", "Position", "Scale",
// "Refresh" and "Physical size" lines. Scale and refresh come from the toolkit's screen
// of the same name, where it has one.
QString displayInformationText(const std::vector<LocalDisplay>& displays);

class DisplayInformationWindow final : public QWidget {
public:
    DisplayInformationWindow();
    // Shows the current text and raises the window.
    void present(const std::vector<LocalDisplay>& displays);
    QString text() const;

private:
    QPlainTextEdit* text_;
};

} // namespace overlook
