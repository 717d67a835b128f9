#include "OffscreenApplication.h"

#include <QApplication>

namespace overlook {

void ensureOffscreenApplication() {
    if (QApplication::instance())
        return;
    // Qt keeps references to argc and argv for the application's lifetime.
    static int argc = 1;
    static char name[] = "overlook";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(argc, argv); // lives until the process ends
}

} // namespace overlook
