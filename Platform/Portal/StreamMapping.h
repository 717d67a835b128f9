#pragma once
// Which display a portal stream shows. The portal says where a stream's output sits
// (position and size, in the compositor's logical space) but not which output it is.
// The displays the session was asked for come first: a stream goes to the free asked
// display at exactly its place, else to the first free asked display of its size, and
// only then, the same way, to one not asked for (the user may pick another display
// in the dialog). Some portals (xdg-desktop-portal-wlr 0.7) report 0,0 for every
// output, which would name the display at the origin whatever was picked; asking
// first keeps a session asked for one display on that display when the sizes agree.

#include "Tessera/DisplayQueryService.h"

#include <optional>
#include <vector>

namespace overlook::portal {

struct StreamPlace {
    std::optional<Point> position;
    std::optional<Size> size;
};

struct DisplayPlace {
    DisplayID id = 0;
    Rect logical;        // the compositor's logical space
    Size pixels;         // the current mode
    bool asked = false;  // the session was asked for it
};

// One display per stream (0: none fits), each display at most once; among equals the
// earlier in `displays` wins. `taken` are displays that already have a stream.
std::vector<DisplayID> mapStreams(const std::vector<StreamPlace>& streams, const std::vector<DisplayPlace>& displays,
                                  const std::vector<DisplayID>& taken = {});

} // namespace overlook::portal
