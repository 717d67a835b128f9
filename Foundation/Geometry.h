#pragma once
// Geometry value types shared by every subsystem. Rectangles follow the usual
// desktop-graphics conventions: a null rectangle (the result of intersecting
// disjoint rectangles) and an infinite rectangle are distinct, well-defined values.

#include <cmath>
#include <vector>
#include <cstddef>
#include <limits>
#include <ostream>

namespace overlook {

struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    double width = 0;
    double height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    constexpr Rect() = default;
    constexpr Rect(double x_, double y_, double w, double h) : x(x_), y(y_), width(w), height(h) {}

    static Rect null();
    static Rect infinite();
    static constexpr Rect zero() { return {}; }

    // Standardised edges: negative widths and heights are read as if flipped.
    double minX() const { return width < 0 ? x + width : x; }
    double minY() const { return height < 0 ? y + height : y; }
    double maxX() const { return width < 0 ? x : x + width; }
    double maxY() const { return height < 0 ? y : y + height; }
    double midX() const { return (minX() + maxX()) / 2; }
    double midY() const { return (minY() + maxY()) / 2; }

    bool isNull() const { return std::isinf(x) && x > 0; }
    bool isInfinite() const;
    // Null rectangles and rectangles without area are empty.
    bool isEmpty() const { return isNull() || width == 0 || height == 0; }

    Rect standardized() const;
    Rect intersection(const Rect& other) const;
    Rect unionWith(const Rect& other) const;
    Rect offsetBy(double dx, double dy) const;
    bool contains(const Point& p) const;

    friend bool operator==(const Rect&, const Rect&) = default;
};

std::ostream& operator<<(std::ostream& os, const Rect& r);

// Whether every point of `r` lies in one of `covers` (an empty `r` is covered).
// Pieces of `r` outside a cover are tested against the remaining covers, so the
// covers may overlap and may together cover what none covers alone.
bool isCoveredBy(const Rect& r, const std::vector<Rect>& covers);
// The pieces of `r` that none of `covers` takes, as rectangles that do not overlap.
std::vector<Rect> uncoveredParts(const Rect& r, const std::vector<Rect>& covers);

// x' = a*x + c*y + tx ; y' = b*x + d*y + ty
struct AffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

    static constexpr AffineTransform identity() { return {}; }
    static constexpr AffineTransform translation(double dx, double dy) {
        return {1, 0, 0, 1, dx, dy};
    }
    static constexpr AffineTransform scale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }

    Point apply(const Point& p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }
    // The bounding box of the transformed rectangle; null and infinite stay so.
    Rect apply(const Rect& r) const;
    // This transform followed by `next`.
    AffineTransform concatenating(const AffineTransform& next) const;
    AffineTransform inverted() const;
    bool isIdentity() const { return *this == AffineTransform{}; }
    bool isTranslationOnly() const { return a == 1 && b == 0 && c == 0 && d == 1; }

    friend bool operator==(const AffineTransform&, const AffineTransform&) = default;
};

// Combine a value into a running hash (boost-style).
inline void hashCombine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

} // namespace overlook
