#pragma once
// The main queue of the running application: work posted from any thread runs in
// the Qt event loop, in the order posted.

#include "Foundation/MainQueue.h"

namespace overlook {

class QtMainQueue final : public MainQueue {
public:
    void async(std::function<void()> work) override;
};

// Binds the main queue to the Qt event loop and first runs whatever the built-in
// manual queue had collected before. Call once, on the main thread, after the
// QApplication exists.
void installQtMainQueue();

} // namespace overlook
