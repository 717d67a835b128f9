#pragma once
// The observable owner of one popover's or window's set of display streams.
// Main thread only.

#include "Foundation/DefaultsStore.h"
#include "Foundation/Signal.h"
#include "Tessera/DisplayStreamer.h"

#include <map>
#include <memory>
#include <vector>

namespace overlook {

class StreamController final : public ObservableObject {
public:
    // One streamer per active display (at most ten); with hideMainDisplay only the
    // main display's streamer starts hidden. Nothing is started.
    StreamController(bool hideMainDisplay, double scale);
    StreamController(bool hideMainDisplay, double scale, std::vector<Display> displays);
    // A controller goes with its popover or window: its streams are released, so
    // their streamers, queues and capture resources go too.
    ~StreamController();
    StreamController(const StreamController&) = delete;
    StreamController& operator=(const StreamController&) = delete;

    Published<std::vector<DisplayStreamerPtr>> streams{*this, {}};

    // Visible streams by ascending unit number (stable for equal numbers).
    std::vector<DisplayStreamerPtr> visibleStreams() const;

    void toggleVisibility(const DisplayStreamerPtr& streamer);
    void startAll();
    void stopAll();
    // Releases every stream that exists (stopping it first).
    void releaseAll();
    // `except` is matched by display id only; it may belong to another controller.
    void hideAll(const DisplayStreamer& except);
    std::map<DisplayID, bool> streamingState() const;
    void restoreStreamingState(const std::map<DisplayID, bool>& state);
    // Takes a new set of active displays while the streams are shown: a stream whose
    // display is unchanged stays as it is, one for a display that went is released,
    // and a new display gets a stream, started when any other stream is running.
    void followDisplays(std::vector<Display> displays, bool hideMainDisplay, double scale);
    // The visible streams' aspect at `width` plus `extraHeight` for the controls.
    // Without a visible stream the picture part is that of a 16:9 display.
    Size contentSize(double width, double extraHeight) const;

    friend bool operator==(const StreamController& a, const StreamController& b) {
        return sameStreams(a.streams.get(), b.streams.get());
    }
};

// Reads "hideMainDisplay", "scale" and "autoPlay" from the store, builds a
// controller and starts its visible streams when "autoPlay" is set.
std::shared_ptr<StreamController> makeStreamController(const DefaultsStore& store);
std::shared_ptr<StreamController> makeStreamController();

} // namespace overlook
