#pragma once
// "Display Information" in a small window whose text can be selected and copied:
// the same description of every display that is written to the log.

#include "Overlook/LocalDisplayManager.h"

#include <QString>
#include <QWidget>

#include <vector>

class QPlainTextEdit;

namespace overlook {

// "Display Information", then each display's description, as logged.
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
