#pragma once
// Which display a portal stream shows. The portal says where a stream's output sits
// (position and size, in the compositor's logical space) but not which output it is.
// A stream goes to the free display at exactly its place; failing that, to the first
// free display of its size, in the order given (the display the session was asked
// for first). Some portals (xdg-desktop-portal-wlr 0.7) report 0,0 for every output,
// so displays of equal size are then told apart only by that order.

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
};

// One display per stream (0: none fits), each display at most once. `taken` are
// displays that already have a stream.
std::vector<DisplayID> mapStreams(const std::vector<StreamPlace>& streams, const std::vector<DisplayPlace>& displays,
                                  const std::vector<DisplayID>& taken = {});

} // namespace overlook::portal
