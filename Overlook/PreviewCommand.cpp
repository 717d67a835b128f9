#include "PreviewCommand.h"

#include "Foundation/MainQueue.h"
#include "Overlook/CommandLine/CommandLine.h"
#include "Overlook/PreferenceKeys.h"
#include "Overlook/StreamController.h"
#include "Tessera/DisplayRenderingView/DisplayStreamView.h"
#include "Tessera/ImagePng.h"

#include "Tessera/DisplayRenderingView/OffscreenApplication.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

namespace overlook {

namespace {

struct PreviewOptions {
    std::string output;
    std::optional<double> scale; // default: the "scale" setting
    int frames = 1;
    int width = 0, height = 0; // 0: the arrangement's own size at the scale
    std::optional<BackendChoice> backend;
};

int positiveInteger(const std::string& option, const std::string& text, int max) {
    std::size_t used = 0;
    int value = 0;
    try {
        value = std::stoi(text, &used);
    } catch (...) {
        used = 0;
    }
    if (used != text.size() || value < 1 || value > max)
        throw UsageError{option + " needs a whole number from 1 to " + std::to_string(max) + ", not '" + text + "'"};
    return value;
}

PreviewOptions parse(const std::vector<std::string>& args) {
    PreviewOptions o;
    for (OptionReader options(args); !options.done();) {
        const std::string name = options.next();
        if (name == "--output") {
            o.output = options.value();
        } else if (name == "--scale") {
            const std::string v = options.value();
            if (v != "1" && v != "2" && v != "4" && v != "8")
                throw UsageError{"--scale must be 1, 2, 4 or 8, not '" + v + "'"};
            o.scale = std::stod(v);
        } else if (name == "--frames") {
            o.frames = positiveInteger(name, options.value(), 1000);
        } else if (name == "--size") {
            const std::string v = options.value();
            const auto x = v.find('x');
            if (x == std::string::npos)
                throw UsageError{"--size needs WIDTHxHEIGHT, not '" + v + "'"};
            o.width = positiveInteger(name, v.substr(0, x), 16384);
            o.height = positiveInteger(name, v.substr(x + 1), 16384);
        } else if (name == "--backend") {
            o.backend = backendOption(options.value());
        } else {
            throw UsageError{"unknown option '" + name + "'"};
        }
    }
    if (o.output.empty())
        throw UsageError{"preview needs --output FILE"};
    return o;
}

// Waits (draining the main queue) until every streaming display has delivered a
// frame newer than `seen`, or a second has passed: an idle screen may send none.
// A stream whose display went away (`ended`: it reported Stopped) is not waited
// for. False, at once, when the capture service has failed.
bool awaitFrames(const std::vector<DisplayStreamerPtr>& streams, const std::vector<char>& ended,
                 std::vector<std::shared_ptr<const Image>>& seen) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        manualMainQueue().drain();
        if (captureService() && captureService()->failure())
            return false;
        bool all = true;
        for (std::size_t i = 0; i < streams.size(); ++i)
            if (streams[i]->isStreaming.get() && !ended[i] && streams[i]->screenImage() == seen[i])
                all = false;
        if (all || std::chrono::steady_clock::now() > deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (std::size_t i = 0; i < streams.size(); ++i)
        seen[i] = streams[i]->screenImage();
    return true;
}

} // namespace

int runPreviewCommand(const std::vector<std::string>& args) {
    const PreviewOptions o = parse(args);
    if (!setUpBackend(o.backend))
        return 1;
    // The view's draw step runs off screen whatever display the session has.
    ensureOffscreenApplication();

    // The picture the popover would show: the user's crosshair and grey settings.
    namespace keys = Defaults::Keys;
    double scale = o.scale.value_or(effectiveScale()), lineWidth = effectiveCrosshairWeight();
    bool showCrosshair = effectiveDisplayCrosshair();
    bool desaturate = effectiveDesaturationPausedStream();
    Color lineColor = effectiveCrosshairColor().rendererColor();
    StreamController controller(false, scale);
    std::vector<DisplayStreamerPtr> streams = controller.streams.get();
    const DisplayStreamView wrapper{Binding<std::vector<DisplayStreamerPtr>>::to(streams), Binding<double>::to(scale),
                                    Binding<bool>::to(showCrosshair),  Binding<double>::to(lineWidth),
                                    Binding<Color>::to(lineColor),     Binding<bool>::to(desaturate)};
    std::unique_ptr<RenderingView> view(wrapper.makeView());
    if (o.width > 0)
        view->resize(o.width, o.height);
    wrapper.updateView(view.get());
    manualMainQueue().drain();

    controller.startAll();
    std::vector<std::shared_ptr<const Image>> seen;
    for (const auto& s : streams)
        seen.push_back(s->screenImage());
    std::vector<char> ended(streams.size(), 0);
    std::vector<ScopedConnection> endings;
    for (std::size_t i = 0; i < streams.size(); ++i)
        endings.emplace_back(streams[i]->currentStatus.changed.connect(
            [&ended, i](FrameStatus status) { ended[i] = status == FrameStatus::Stopped; }));
    bool captured = true;
    for (int frame = 0; frame < o.frames && captured; ++frame) {
        captured = awaitFrames(streams, ended, seen);
        if (captured)
            view->draw();
    }
    endings.clear();
    controller.stopAll();
    controller.releaseAll();
    manualMainQueue().drain();
    if (!captured) {
        std::fprintf(stderr, "overlook: no preview was written: %s\n", captureService()->failure()->c_str());
        return 1;
    }

    QImage picture = view->drawable();
    const RenderDestination pixels{picture.bits(), picture.width(), picture.height(),
                                   static_cast<int>(picture.bytesPerLine())};
    if (auto error = writePng(pixels, o.output)) {
        std::fprintf(stderr, "overlook: %s\n", error->c_str());
        return 1;
    }
    std::printf("wrote %s (%d × %d, %zu displays, %zu frames composed)\n", o.output.c_str(), picture.width(),
                picture.height(), streams.size(), view->composedFrameCount());
    return 0;
}

} // namespace overlook
