#pragma once
// The wrapper through which the interface places a RenderingView: it makes the
// view and its renderer from bindings, and on each update pushes the settings
// into the renderer, applies a changed scale to the streamers and hands the view
// the current list. It keeps no state of its own. Main thread only.

#include "Tessera/Color.h"
#include "Tessera/DisplayRenderingView/RenderingView.h"

#include <functional>

class QWidget;

namespace overlook {

// A two-way binding to a value owned elsewhere.
template <class T>
struct Binding {
    std::function<T()> get;
    std::function<void(const T&)> set;

    T operator()() const { return get(); }
    // Binds to `storage`, which must outlive the binding.
    static Binding to(T& storage) {
        return {[&storage] { return storage; }, [&storage](const T& v) { storage = v; }};
    }
};

struct DisplayStreamView {
    Binding<std::vector<DisplayStreamerPtr>> streams;
    Binding<double> scale;
    Binding<bool> showCrosshair;
    Binding<double> lineWidth;
    Binding<Color> lineColor;
    Binding<bool> desaturationPausedStream;

    // A new view (and renderer) for the bindings' current values.
    RenderingView* makeView(QWidget* parent = nullptr) const;
    // Queues the update on the main queue, after the current pass of the
    // interface; a view deleted by then is left alone.
    void updateView(RenderingView* view) const;
};

} // namespace overlook
