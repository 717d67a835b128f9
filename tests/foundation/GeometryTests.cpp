#include "Foundation/Geometry.h"

#include <gtest/gtest.h>

using namespace overlook;

TEST(Rect, NullAndInfiniteRectanglesBehaveAsIdentities) {
    const Rect a(10, 20, 30, 40);
    EXPECT_TRUE(Rect::null().isNull());
    EXPECT_TRUE(Rect::null().isEmpty());
    EXPECT_TRUE(Rect::infinite().isInfinite());
    EXPECT_EQ(Rect::null().unionWith(a), a);
    EXPECT_EQ(a.unionWith(Rect::null()), a);
    EXPECT_EQ(Rect::infinite().intersection(a), a);
    EXPECT_TRUE(Rect::null().intersection(a).isNull());
    EXPECT_TRUE(Rect::infinite().unionWith(a).isInfinite());
    EXPECT_TRUE(Rect(0, 0, 10, 10).intersection(Rect(20, 20, 5, 5)).isNull());
    EXPECT_EQ(Rect(0, 0, 10, 10).intersection(Rect(5, -5, 10, 10)), Rect(5, 0, 5, 5));
    EXPECT_EQ(Rect(0, 0, 10, 10).unionWith(Rect(-5, 5, 2, 20)), Rect(-5, 0, 15, 25));
    // A translation of a null or infinite rectangle leaves it so.
    EXPECT_TRUE(AffineTransform::translation(5, 5).apply(Rect::infinite()).isInfinite());
    EXPECT_TRUE(Rect::null().offsetBy(3, 3).isNull());
}

TEST(AffineTransform, ConcatenationAppliesLeftThenRight) {
    const auto flip = AffineTransform{1, 0, 0, -1, 0, 0};
    const auto t = flip.concatenating(AffineTransform::translation(0, 100));
    EXPECT_EQ(t.apply(Point{3, 0}), (Point{3, 100}));
    EXPECT_EQ(t.apply(Point{3, 100}), (Point{3, 0}));
    EXPECT_EQ(t.apply(Rect(0, 0, 50, 100)), Rect(0, 0, 50, 100));

    const auto s = AffineTransform::scale(2, 4).concatenating(AffineTransform::translation(1, 1));
    const Point p{3, 5};
    const Point back = s.inverted().apply(s.apply(p));
    EXPECT_DOUBLE_EQ(back.x, p.x);
    EXPECT_DOUBLE_EQ(back.y, p.y);
    EXPECT_EQ(s.apply(Rect(0, 0, 10, 10)), Rect(1, 1, 20, 40));
}
