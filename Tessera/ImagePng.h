#pragma once
// PNG files of rendered pixels (premultiplied ARGB32, first row at the top).

#include "Tessera/ImageContext.h"

#include <optional>
#include <string>

namespace overlook {

// Writes the pixels as a PNG with alpha; returns what went wrong, if anything.
std::optional<std::string> writePng(const RenderDestination& pixels, const std::string& path);

} // namespace overlook
