#include "StreamMapping.h"

#include <algorithm>

namespace overlook::portal {

namespace {
bool sameSize(const Size& a, const Size& b) { return a.width == b.width && a.height == b.height; }
} // namespace

std::vector<DisplayID> mapStreams(const std::vector<StreamPlace>& streams, const std::vector<DisplayPlace>& displays,
                                  const std::vector<DisplayID>& taken) {
    std::vector<DisplayID> result(streams.size(), 0);
    std::vector<DisplayID> used = taken;
    auto free = [&used](const DisplayPlace& d) { return std::find(used.begin(), used.end(), d.id) == used.end(); };
    // Exact places first, so that a stream matched by size alone cannot take the
    // display another stream names exactly.
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const StreamPlace& s = streams[i];
        if (!s.position || !s.size)
            continue;
        for (const DisplayPlace& d : displays)
            if (free(d) && d.logical.x == s.position->x && d.logical.y == s.position->y &&
                sameSize(Size{d.logical.width, d.logical.height}, *s.size)) {
                result[i] = d.id;
                used.push_back(d.id);
                break;
            }
    }
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (result[i] || !streams[i].size)
            continue;
        const Size size = *streams[i].size;
        for (const DisplayPlace& d : displays)
            if (free(d) && (sameSize(Size{d.logical.width, d.logical.height}, size) || sameSize(d.pixels, size))) {
                result[i] = d.id;
                used.push_back(d.id);
                break;
            }
    }
    return result;
}

} // namespace overlook::portal
