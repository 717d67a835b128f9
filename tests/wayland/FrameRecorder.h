#pragma once
// What a display stream's handler saw; and an output's id by its name.

#include "Platform/Wayland/Outputs.h"
#include "Tessera/CaptureService.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace overlook::test {

struct FrameRecorder {
    std::mutex mutex;
    std::vector<FrameStatus> statuses;
    FrameSurfacePtr last;
    FrameHandler handler() {
        return [this](FrameStatus status, FrameSurfacePtr surface) {
            std::lock_guard lock(mutex);
            statuses.push_back(status);
            if (status == FrameStatus::FrameComplete)
                last = std::move(surface);
        };
    }
    int count(FrameStatus s) {
        std::lock_guard lock(mutex);
        return static_cast<int>(std::count(statuses.begin(), statuses.end(), s));
    }
    int frameCount() { return count(FrameStatus::FrameComplete); }
    // Whether the last frame is `colour` (0xAARRGGBB) all over.
    bool lastIsAll(std::uint32_t colour) {
        std::lock_guard lock(mutex);
        if (!last)
            return false;
        for (int y = 0; y < last->height(); ++y)
            for (int x = 0; x < last->width(); ++x)
                if (last->pixel(x, y) != colour)
                    return false;
        return true;
    }
};

inline DisplayID idNamed(const wayland::OutputLayout& l, const std::string& name) {
    for (const wayland::Output& o : l.outputs)
        if (o.name == name)
            return o.id;
    return 0;
}

} // namespace overlook::test
