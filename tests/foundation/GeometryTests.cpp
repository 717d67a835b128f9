#include "Foundation/Geometry.h"

#include <gtest/gtest.h>

using namespace overlook;

TEST(Geometry, NullRectanglesStayNullAndTransformsConcatenateLeftThenRight) {
    const Rect a(10, 20, 30, 40);
    EXPECT_TRUE(Rect::null().isNull() && Rect::null().isEmpty());
    EXPECT_TRUE(Rect::null().intersection(a).isNull());
    EXPECT_TRUE(Rect::infinite().unionWith(a).isInfinite());
    EXPECT_TRUE(Rect::null().offsetBy(3, 3).isNull());

    const auto t = AffineTransform{1, 0, 0, -1, 0, 0}.concatenating(AffineTransform::translation(0, 100));
    EXPECT_EQ(t.apply(Point{3, 0}), (Point{3, 100}));
    EXPECT_EQ(t.apply(Point{3, 100}), (Point{3, 0}));
    EXPECT_EQ(t.apply(Rect(0, 0, 50, 100)), Rect(0, 0, 50, 100));
    const auto s = AffineTransform::scale(2, 4).concatenating(AffineTransform::translation(1, 1));
    EXPECT_EQ(s.inverted().apply(s.apply(Point{3, 5})), (Point{3, 5})); // exact in binary
    EXPECT_EQ(s.apply(Rect(0, 0, 10, 10)), Rect(1, 1, 20, 40));
}

TEST(Geometry, CoverageByOverlappingRectangles) {
    const Rect r(0, 0, 100, 50);
    EXPECT_FALSE(isCoveredBy(r, {}));
    EXPECT_TRUE(isCoveredBy(r, {Rect(-10, -10, 200, 200)}));
    EXPECT_TRUE(isCoveredBy(Rect(5, 5, 0, 10), {})); // nothing to cover
    EXPECT_TRUE(isCoveredBy(r, {Rect(0, 0, 50, 50), Rect(50, 0, 50, 50)}));
    EXPECT_TRUE(isCoveredBy(r, {Rect(0, 0, 70, 50), Rect(30, -5, 80, 60)})); // only together
    EXPECT_FALSE(isCoveredBy(r, {Rect(0, 0, 49, 50), Rect(50, 0, 50, 50)})); // a one-pixel gap
    EXPECT_FALSE(isCoveredBy(r, {Rect(0, 0, 100, 49), Rect(0, 0, 99, 50)})); // a corner left out
    EXPECT_FALSE(isCoveredBy(r, {Rect(10, 10, 80, 30)}));
    EXPECT_TRUE(isCoveredBy(r, {Rect(10, 10, 80, 30), Rect(0, 0, 100, 10), Rect(0, 40, 100, 10),
                                Rect(0, 0, 10, 50), Rect(90, 0, 10, 50)}));
    EXPECT_TRUE(isCoveredBy(Rect(100, 50, -100, -50), {Rect(0, 0, 100, 50)})); // negative sizes
    EXPECT_EQ(uncoveredParts(r, {Rect(30, -5, 80, 60)}), std::vector<Rect>{Rect(0, 0, 30, 50)});
    EXPECT_EQ(uncoveredParts(r, {Rect(0, 0, 49, 50), Rect(50, 0, 50, 50)}), std::vector<Rect>{Rect(49, 0, 1, 50)});
}
