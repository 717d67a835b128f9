#include "Geometry.h"

#include <algorithm>

namespace overlook {

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kHuge = std::numeric_limits<double>::max();
} // namespace

Rect Rect::null() { return {kInf, kInf, 0, 0}; }

Rect Rect::infinite() { return {-kHuge / 2, -kHuge / 2, kHuge, kHuge}; }

bool Rect::isInfinite() const { return *this == infinite(); }

Rect Rect::standardized() const {
    if (isNull() || isInfinite())
        return *this;
    return {minX(), minY(), std::abs(width), std::abs(height)};
}

Rect Rect::intersection(const Rect& other) const {
    if (isNull() || other.isNull())
        return null();
    if (isInfinite())
        return other.standardized();
    if (other.isInfinite())
        return standardized();
    const double x0 = std::max(minX(), other.minX());
    const double y0 = std::max(minY(), other.minY());
    const double x1 = std::min(maxX(), other.maxX());
    const double y1 = std::min(maxY(), other.maxY());
    if (x1 < x0 || y1 < y0)
        return null();
    return {x0, y0, x1 - x0, y1 - y0};
}

Rect Rect::unionWith(const Rect& other) const {
    if (isNull())
        return other.standardized();
    if (other.isNull())
        return standardized();
    if (isInfinite() || other.isInfinite())
        return infinite();
    const double x0 = std::min(minX(), other.minX());
    const double y0 = std::min(minY(), other.minY());
    const double x1 = std::max(maxX(), other.maxX());
    const double y1 = std::max(maxY(), other.maxY());
    return {x0, y0, x1 - x0, y1 - y0};
}

Rect Rect::offsetBy(double dx, double dy) const {
    if (isNull() || isInfinite())
        return *this;
    return {x + dx, y + dy, width, height};
}

bool Rect::contains(const Point& p) const {
    if (isNull())
        return false;
    return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY();
}

std::ostream& operator<<(std::ostream& os, const Rect& r) {
    return os << "(" << r.x << ", " << r.y << ", " << r.width << ", " << r.height << ")";
}

Rect AffineTransform::apply(const Rect& r) const {
    if (r.isNull() || r.isInfinite())
        return r;
    const Point corners[4] = {apply(Point{r.minX(), r.minY()}), apply(Point{r.maxX(), r.minY()}),
                              apply(Point{r.minX(), r.maxY()}), apply(Point{r.maxX(), r.maxY()})};
    double x0 = corners[0].x, x1 = corners[0].x, y0 = corners[0].y, y1 = corners[0].y;
    for (const Point& p : corners) {
        x0 = std::min(x0, p.x);
        x1 = std::max(x1, p.x);
        y0 = std::min(y0, p.y);
        y1 = std::max(y1, p.y);
    }
    return {x0, y0, x1 - x0, y1 - y0};
}

AffineTransform AffineTransform::concatenating(const AffineTransform& n) const {
    return {a * n.a + b * n.c,        a * n.b + b * n.d,        c * n.a + d * n.c,
            c * n.b + d * n.d,        tx * n.a + ty * n.c + n.tx, tx * n.b + ty * n.d + n.ty};
}

AffineTransform AffineTransform::inverted() const {
    const double det = a * d - b * c;
    if (det == 0)
        return *this; // singular: returned unchanged, as graphics libraries do
    return {d / det, -b / det, -c / det, a / det, (c * ty - d * tx) / det, (b * tx - a * ty) / det};
}

namespace {
// Adds the pieces of r that no cover from `first` on takes to `out`; without `out`,
// stops at the first such piece. Whether there was one.
bool findUncovered(const Rect& r, const std::vector<Rect>& covers, std::size_t first, std::vector<Rect>* out) {
    if (r.isEmpty())
        return false;
    for (std::size_t i = first; i < covers.size(); ++i) {
        const Rect overlap = r.intersection(covers[i]);
        if (overlap.isEmpty())
            continue;
        // What this cover leaves of r: up to four bands around the overlap, each of
        // which the later covers may take.
        const Rect bands[] = {
            {r.minX(), r.minY(), r.width, overlap.minY() - r.minY()},            // above
            {r.minX(), overlap.maxY(), r.width, r.maxY() - overlap.maxY()},      // below
            {r.minX(), overlap.minY(), overlap.minX() - r.minX(), overlap.height}, // left
            {overlap.maxX(), overlap.minY(), r.maxX() - overlap.maxX(), overlap.height}, // right
        };
        bool found = false;
        for (const Rect& band : bands)
            if (band.width > 0 && band.height > 0 && findUncovered(band, covers, i + 1, out)) {
                found = true;
                if (!out)
                    return true;
            }
        return found;
    }
    if (out)
        out->push_back(r);
    return true;
}
} // namespace

std::vector<Rect> uncoveredParts(const Rect& r, const std::vector<Rect>& covers) {
    std::vector<Rect> parts;
    findUncovered(r.standardized(), covers, 0, &parts);
    return parts;
}

// Asked for every damaged piece while our windows show: no allocation.
bool isCoveredBy(const Rect& r, const std::vector<Rect>& covers) {
    return !findUncovered(r.standardized(), covers, 0, nullptr);
}

} // namespace overlook
