#pragma once
#include <cstdint>
#include <string>

namespace overlook {

// Status of one frame update of a display stream.
enum class FrameStatus : std::int32_t {
    FrameComplete = 0,
    FrameIdle = 1,
    FrameBlank = 2,
    Stopped = 3,
};

// The fixed description text of a status, used in log messages.
std::string describe(FrameStatus status);

} // namespace overlook
