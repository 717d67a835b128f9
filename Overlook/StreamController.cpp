#include "StreamController.h"

#include "Foundation/Logger.h"
#include "Overlook/PreferenceKeys.h"

#include <algorithm>

namespace overlook {

namespace {
const Logger& controllerLog() {
    static const Logger log(logs::kApplication, "StreamController");
    return log;
}
} // namespace

StreamController::StreamController(bool hideMainDisplay, double scale)
    : StreamController(hideMainDisplay, scale, Display::activeDisplays()) {}

StreamController::StreamController(bool hideMainDisplay, double scale, std::vector<Display> displays) {
    std::vector<DisplayStreamerPtr> list;
    list.reserve(displays.size());
    for (Display& display : displays) {
        const bool visible = !(hideMainDisplay && display.isMain);
        list.push_back(std::make_shared<DisplayStreamer>(std::move(display), visible, scale));
    }
    streams = std::move(list);
    controllerLog().info("Created Controller for %ld streams", static_cast<long>(streams.get().size()));
}

StreamController::~StreamController() { releaseAll(); }

void StreamController::releaseAll() {
    // A created stream's handler holds its streamer: without the release the
    // streamer, its queue's thread and the stream's capture state would live on.
    for (const auto& s : streams.get())
        if (s->hasStream())
            s->releaseStream();
}

void StreamController::followDisplays(std::vector<Display> displays, bool hideMainDisplay, double scale) {
    const auto& old = streams.get();
    const bool playing = std::any_of(old.begin(), old.end(), [](const auto& s) { return s->isStreaming.get(); });
    std::vector<DisplayStreamerPtr> list, fresh;
    for (Display& display : displays) {
        const auto kept = std::find_if(old.begin(), old.end(), [&](const auto& s) { return s->display() == display; });
        if (kept != old.end()) {
            list.push_back(*kept);
            continue;
        }
        const bool visible = !(hideMainDisplay && display.isMain);
        fresh.push_back(list.emplace_back(std::make_shared<DisplayStreamer>(std::move(display), visible, scale)));
    }
    std::vector<DisplayStreamerPtr> gone;
    for (const auto& s : old)
        if (std::find(list.begin(), list.end(), s) == list.end())
            gone.push_back(s);
    if (fresh.empty() && gone.empty())
        return;
    controllerLog().notice("Displays changed: %ld streams added, %ld released", static_cast<long>(fresh.size()),
                           static_cast<long>(gone.size()));
    objectWillChange.emit();
    streams = std::move(list);
    for (const auto& s : gone)
        if (s->hasStream())
            s->releaseStream();
    if (playing)
        for (const auto& s : fresh)
            if (s->isVisible.get())
                s->start(false);
}

std::vector<DisplayStreamerPtr> StreamController::visibleStreams() const {
    std::vector<DisplayStreamerPtr> visible;
    for (const auto& s : streams.get())
        if (s->isVisible.get())
            visible.push_back(s);
    std::stable_sort(visible.begin(), visible.end(),
                     [](const DisplayStreamerPtr& a, const DisplayStreamerPtr& b) { return *a < *b; });
    return visible;
}

void StreamController::toggleVisibility(const DisplayStreamerPtr& s) {
    controllerLog().debug("Toggling visibility of %s", s->description().c_str());
    objectWillChange.emit();
    s->isVisible = !s->isVisible.get();
    if (!s->isVisible.get()) {
        controllerLog().debug("Stopping hidden %s", s->description().c_str());
        s->stop();
    }
}

void StreamController::startAll() {
    controllerLog().debug("Starting all streams");
    objectWillChange.emit();
    for (const auto& s : visibleStreams())
        s->start(false);
}

void StreamController::stopAll() {
    controllerLog().debug("Stopping all streams");
    objectWillChange.emit();
    for (const auto& s : visibleStreams())
        s->stop();
}

void StreamController::hideAll(const DisplayStreamer& except) {
    const std::string exceptName = except.description();
    controllerLog().notice("Hiding all streams except %s", exceptName.c_str());
    for (const auto& s : streams.get()) {
        controllerLog().debug("Checking if %s has the same ID as %s", s->description().c_str(),
                              exceptName.c_str());
        controllerLog().debug("Checking if %u has the same ID as %u", s->display().id, except.display().id);
        s->isVisible = (s->display().id == except.display().id);
        controllerLog().debug("Setting %s visibility to %s", s->description().c_str(),
                              s->isVisible.get() ? "true" : "false");
    }
    if (visibleStreams().empty())
        controllerLog().error("All streams are hidden");
}

std::map<DisplayID, bool> StreamController::streamingState() const {
    std::map<DisplayID, bool> state;
    for (const auto& s : streams.get())
        state[s->display().id] = s->isStreaming.get();
    return state;
}

void StreamController::restoreStreamingState(const std::map<DisplayID, bool>& state) {
    for (const auto& s : streams.get()) {
        auto it = state.find(s->display().id);
        if (it != state.end())
            s->setStreaming(it->second);
    }
}

Size StreamController::contentSize(double width, double extraHeight) const {
    const auto visible = visibleStreams();
    if (visible.empty()) {
        // Nothing to measure (and no message to log for it): a 16:9 picture.
        return {width, width * 9.0 / 16.0 + extraHeight};
    }
    const Rect r = DisplayStreamer::outputMetrics(visible);
    if (!(r.width > 0) || !(r.height >= 0))
        return {width, width * 9.0 / 16.0 + extraHeight};
    return {width, r.height * (width / r.width) + extraHeight};
}

std::shared_ptr<StreamController> makeStreamController(const DefaultsStore& store) {
    const bool hideMainDisplay = store.boolForKey("hideMainDisplay");
    const double scale = effectiveScale(store.floatForKey("scale"));
    auto controller = std::make_shared<StreamController>(hideMainDisplay, scale);
    if (store.boolForKey("autoPlay"))
        controller->startAll();
    return controller;
}

std::shared_ptr<StreamController> makeStreamController() {
    return makeStreamController(standardDefaultsStore());
}

} // namespace overlook
