#pragma once
// A process-wide Qt application on the offscreen platform, for drawing views
// without a screen (the preview command, tests, benchmarks).

class QApplication;

namespace overlook {

// Creates the application on first use; an application that already exists is
// left as it is. Main thread only.
void ensureOffscreenApplication();

} // namespace overlook
