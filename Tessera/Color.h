#pragma once
// A colour as the renderer uses it: red, green, blue and alpha in [0, 1], not
// premultiplied, in the device's RGB space.

namespace overlook {

struct Color {
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 1;

    friend bool operator==(const Color&, const Color&) = default;
};

} // namespace overlook
