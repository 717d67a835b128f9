#pragma once
// Tells the capture service where this application's own windows are (popover,
// stream windows, display list, preferences, dialogs), so that their redrawing is
// not taken for a change of the desktop. Follows every top-level widget as it is
// shown, moved, resized, hidden or destroyed; the list goes out once per turn of
// the event loop, in screen pixels. Main thread.

#include "Foundation/Geometry.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <vector>

namespace overlook {

class OwnWindowTracker final : public QObject {
public:
    using Sink = std::function<void(std::vector<Rect>)>;
    // Without a sink the areas go to the process-wide capture service.
    explicit OwnWindowTracker(Sink sink = nullptr);
    ~OwnWindowTracker() override;

    // The visible top-level widgets' frames, in device pixels.
    static std::vector<Rect> currentAreas();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void publish();

    Sink sink_;
    QTimer pending_;
};

} // namespace overlook
