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
#include <optional>
#include <string>
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

// How long a display may take to deliver its first frame: the desktop portal may
// first ask the user. Later frames are waited for a second at most: an idle screen
// may send none.
constexpr auto kFirstFrameTimeout = std::chrono::seconds(20);
constexpr auto kNextFrameWait = std::chrono::seconds(1);

// What the preview knows of one stream.
struct Watched {
    bool wanted = false;    // started by the preview
    bool delivered = false; // a frame came
    bool ended = false;     // it reported Stopped
    std::shared_ptr<const Image> seen; // the image drawn last
};

// Waits (draining the main queue) until every wanted display that is still
// streaming has delivered a frame newer than the one drawn last. A stream that
// ended is not waited for. Says why no picture may be written: the capture service
// failed, or a display delivered no frame at all (it stopped first, or none came in
// time), which would leave a hole in the picture.
std::optional<std::string> awaitFrames(const std::vector<DisplayStreamerPtr>& streams, std::vector<Watched>& watched,
                                       std::chrono::steady_clock::time_point started) {
    const auto now = [] { return std::chrono::steady_clock::now(); };
    const auto nextFrameDeadline = now() + kNextFrameWait;
    for (;;) {
        manualMainQueue().drain();
        if (captureService() && captureService()->failure())
            return captureService()->failure();
        bool all = true, firstMissing = false;
        for (std::size_t i = 0; i < streams.size(); ++i) {
            const Watched& w = watched[i];
            if (!w.wanted || w.ended)
                continue;
            firstMissing |= !w.delivered;
            all &= w.delivered && streams[i]->screenImage() != w.seen;
        }
        if (all || now() > (firstMissing ? started + kFirstFrameTimeout : nextFrameDeadline))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::string missing;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        watched[i].seen = streams[i]->screenImage();
        if (!watched[i].wanted || watched[i].delivered)
            continue;
        const Display& d = streams[i]->display();
        missing += (missing.empty() ? "" : "; ") + d.localizedName + " (" + std::to_string(d.id) + ") " +
                   (watched[i].ended ? "stopped before its first frame"
                                     : "sent no frame within " + std::to_string(kFirstFrameTimeout.count()) + " seconds");
    }
    if (!missing.empty())
        return "no picture of every display: " + missing;
    return std::nullopt;
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
    const auto started = std::chrono::steady_clock::now();
    std::vector<Watched> watched(streams.size());
    std::vector<ScopedConnection> statuses;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        Watched& w = watched[i];
        w.wanted = streams[i]->isStreaming.get();
        w.seen = streams[i]->screenImage();
        statuses.emplace_back(streams[i]->currentStatus.changed.connect([&w](FrameStatus status) {
            w.ended = status == FrameStatus::Stopped;
            w.delivered |= status == FrameStatus::FrameComplete;
        }));
    }
    std::optional<std::string> failure;
    for (int frame = 0; frame < o.frames && !failure; ++frame) {
        failure = awaitFrames(streams, watched, started);
        if (!failure)
            view->draw();
    }
    statuses.clear();
    controller.stopAll();
    controller.releaseAll();
    manualMainQueue().drain();
    if (failure) {
        std::fprintf(stderr, "overlook: no preview was written: %s\n", failure->c_str());
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
