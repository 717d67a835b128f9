#pragma once
// The application-wide key monitor of the local display manager (Qt).

namespace overlook {

// Installs the monitor on the running QApplication, once; nothing without one.
void installKeyMonitor();

// Makes every LocalDisplayManager install the monitor when it is created.
void enableKeyMonitor();

} // namespace overlook
