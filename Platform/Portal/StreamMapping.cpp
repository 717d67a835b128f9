#include "StreamMapping.h"

#include <algorithm>
#include <functional>

namespace overlook::portal {

namespace {
bool sameSize(const Size& a, const Size& b) { return a.width == b.width && a.height == b.height; }
} // namespace

std::vector<DisplayID> mapStreams(const std::vector<StreamPlace>& streams, const std::vector<DisplayPlace>& displays,
                                  const std::vector<DisplayID>& taken) {
    // Decided while matching: this stream is another display's, which has one already.
    constexpr DisplayID kNoDisplay = ~DisplayID{0};
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
    // Streams without places whose size several displays share: a desktop lists its
    // outputs in their order on the screen (KDE restores a consent for every output it
    // names, in that order), so when it sends as many such streams as there are
    // displays of that size, the n-th stream is the n-th of them from the left, and
    // a display that has a stream already leaves its own unused. Otherwise a stream
    // that could be either would go to whichever came first.
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (streams[i].position || !streams[i].size || result[i])
            continue;
        const Size size = *streams[i].size;
        std::vector<std::size_t> same;
        for (std::size_t j = 0; j < streams.size(); ++j)
            if (!streams[j].position && streams[j].size && sameSize(*streams[j].size, size))
                same.push_back(j);
        std::vector<const DisplayPlace*> fitting;
        for (const DisplayPlace& d : displays)
            if (sameSize(Size{d.logical.width, d.logical.height}, size) || sameSize(d.pixels, size))
                fitting.push_back(&d);
        if (same.size() < 2 || same.size() != fitting.size())
            continue;
        std::sort(fitting.begin(), fitting.end(), [](const DisplayPlace* a, const DisplayPlace* b) {
            return a->logical.x != b->logical.x ? a->logical.x < b->logical.x : a->logical.y < b->logical.y;
        });
        for (std::size_t n = 0; n < same.size(); ++n) {
            result[same[n]] = free(*fitting[n]) ? fitting[n]->id : kNoDisplay;
            used.push_back(fitting[n]->id);
        }
    }
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
    std::replace(result.begin(), result.end(), kNoDisplay, DisplayID{0});
    return result;
}

} // namespace overlook::portal
