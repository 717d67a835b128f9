#include "StreamMapping.h"

#include <algorithm>
#include <functional>

namespace overlook::portal {

namespace {
bool sameSize(const Size& a, const Size& b) { return a.width == b.width && a.height == b.height; }
} // namespace

std::vector<DisplayID> mapStreams(const std::vector<StreamPlace>& streams, const std::vector<DisplayPlace>& displays,
                                  const std::vector<DisplayID>& taken) {
    std::vector<DisplayID> result(streams.size(), 0);
    std::vector<DisplayID> used = taken;
    auto free = [&used](const DisplayPlace& d) { return std::find(used.begin(), used.end(), d.id) == used.end(); };
    auto exact = [](const StreamPlace& s, const DisplayPlace& d) {
        return s.position && s.size && d.logical.x == s.position->x && d.logical.y == s.position->y &&
               sameSize(Size{d.logical.width, d.logical.height}, *s.size);
    };
    auto sized = [](const StreamPlace& s, const DisplayPlace& d) {
        return s.size && (sameSize(Size{d.logical.width, d.logical.height}, *s.size) || sameSize(d.pixels, *s.size));
    };
    // Exact places before sizes, so that a stream matched by size alone cannot take
    // the display another stream names exactly; asked-for displays before the rest.
    for (const bool asked : {true, false})
        for (const auto& fits : {std::function<bool(const StreamPlace&, const DisplayPlace&)>(exact),
                                 std::function<bool(const StreamPlace&, const DisplayPlace&)>(sized)})
            for (std::size_t i = 0; i < streams.size(); ++i) {
                if (result[i])
                    continue;
                for (const DisplayPlace& d : displays)
                    if (d.asked == asked && free(d) && fits(streams[i], d)) {
                        result[i] = d.id;
                        used.push_back(d.id);
                        break;
                    }
            }
    return result;
}

} // namespace overlook::portal
