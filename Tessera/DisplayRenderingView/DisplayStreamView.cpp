#include "DisplayStreamView.h"

#include "Foundation/MainQueue.h"

#include <QPointer>

namespace overlook {

RenderingView* DisplayStreamView::makeView(QWidget* parent) const {
    auto renderer = std::make_shared<DisplayRenderer>(showCrosshair(), lineWidth(), lineColor(), desaturationPausedStream());
    return new RenderingView(streams(), std::move(renderer), nullptr, parent);
}

void DisplayStreamView::updateView(RenderingView* view) const {
    mainQueue().async([bindings = *this, view = QPointer<RenderingView>(view)] {
        if (!view)
            return;
        DisplayRenderer& renderer = view->renderer();
        renderer.showCrosshair = bindings.showCrosshair();
        renderer.lineWidth = bindings.lineWidth();
        renderer.lineColor = bindings.lineColor();
        renderer.desaturationPausedStream = bindings.desaturationPausedStream();
        const double scale = bindings.scale();
        const auto streams = bindings.streams();
        // setScale logs the change, releases the stream and restarts it only
        // when it was streaming.
        // The view's device pixels decide how large the frames are captured.
        const double ratio = view->devicePixelRatioF();
        for (const auto& s : streams) {
            if (s->scale() != scale)
                s->setScale(scale);
            s->setPixelRatio(ratio);
        }
        view->updateStreams(streams);
    });
}

} // namespace overlook
