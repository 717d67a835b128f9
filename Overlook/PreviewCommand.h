#pragma once

#include <string>
#include <vector>

namespace overlook {

// overlook preview --output FILE [--scale N] [--frames N] [--size WxH]: runs the
// capture and render pipeline off screen and writes the composed picture as PNG.
int runPreviewCommand(const std::vector<std::string>& args);

} // namespace overlook
