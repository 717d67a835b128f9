#include "FrameStatus.h"

namespace overlook {

std::string describe(FrameStatus status) {
    switch (status) {
    case FrameStatus::FrameComplete: return "New frame was generated";
    case FrameStatus::FrameIdle: return "Frame has not changed";
    case FrameStatus::FrameBlank: return "Display has gone blank";
    case FrameStatus::Stopped: return "The stream was stopped";
    }
    return "Unknown Default Frame Status: " + std::to_string(static_cast<std::int32_t>(status));
}

} // namespace overlook
