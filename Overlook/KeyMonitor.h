#pragma once
// The application-wide key monitor of the local display manager (Qt).

#include <string>

class QKeyEvent;

namespace overlook {

// The characters a key press stands for: the digit of a digit key, whatever the
// modifiers did to the event's text (X11 gives Control-2 to Control-8 as control
// characters), else the event's text.
std::string keyMonitorCharacters(const QKeyEvent& event);

// Installs the monitor on the running QApplication, once; nothing without one.
void installKeyMonitor();

// Makes every LocalDisplayManager install the monitor when it is created.
void enableKeyMonitor();

} // namespace overlook
