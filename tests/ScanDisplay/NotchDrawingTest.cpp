// The drawn parts of the scan display: the tab's outline and the spring motion.
#include "Common/SpringEasing.h"
#include "ScanDisplay/NotchShape.h"

#include <gtest/gtest.h>

#include <QPolygonF>

#include <algorithm>

namespace {

TEST(NotchShape, FilletsFlareOutwardsAndCornersAreCappedByTheHeight) {
    struct Case {
        QSizeF size;
        double radius;
        double fillet;
    } cases[] = {
        {QSizeF(400, 78), 22, 9},
        {QSizeF(200, 40), 20, 9},  // radius capped at half the height
        {QSizeF(100, 10), 5, 5},   // fillet capped at the radius
    };
    const NotchShape shape;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size.height());
        EXPECT_EQ(shape.effectiveRadius(c.size.height()), c.radius);
        EXPECT_EQ(shape.effectiveFillet(c.size.height()), c.fillet);
        const QPainterPath path = shape.path(c.size);
        // The top edge runs from -f to W + f; the body hangs down to the full height.
        EXPECT_EQ(path.boundingRect(), QRectF(-c.fillet, 0, c.size.width() + 2 * c.fillet, c.size.height()));
        const double midY = (c.fillet + c.size.height() - c.radius) / 2;  // on the straight sides
        EXPECT_TRUE(path.contains(QPointF(c.fillet + 0.5, midY)));
        EXPECT_FALSE(path.contains(QPointF(c.fillet - 0.5, midY)));
        EXPECT_TRUE(path.contains(QPointF(c.size.width() - c.fillet - 0.5, midY)));
        EXPECT_FALSE(path.contains(QPointF(c.size.width() - c.fillet + 0.5, midY)));
        // Rounded bottom corners: the very corner of the body is outside.
        EXPECT_FALSE(path.contains(QPointF(c.fillet + 0.5, c.size.height() - 0.5)));
        // The fillet is concave: just below the top edge, outside the body, is empty.
        EXPECT_FALSE(path.contains(QPointF(-c.fillet / 2, c.fillet / 2 + 0.5)));
        EXPECT_TRUE(path.contains(QPointF(0, 0.2)));
    }
}

TEST(Spring, StartsAtRestOvershootsByItsDampingAndSettles) {
    struct Case {
        Spring spring;
        double minOvershoot;
        double maxOvershoot;
    } cases[] = {
        {{0.35, 0.5}, 0.12, 0.20},  // the badge's lively pop
        {{0.4, 0.8}, 0.005, 0.02},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.spring.damping);
        EXPECT_NEAR(c.spring.position(0), 0, 1e-12);
        double peak = 0;
        for (double t = 0; t < c.spring.settleSeconds(); t += 0.001) peak = std::max(peak, c.spring.position(t));
        EXPECT_GT(peak - 1, c.minOvershoot);
        EXPECT_LT(peak - 1, c.maxOvershoot);
        EXPECT_NEAR(c.spring.position(c.spring.settleSeconds()), 1, 0.002);
        EXPECT_GT(c.spring.settleSeconds(), c.spring.response);
        EXPECT_LT(c.spring.settleSeconds(), 1.5);
        // Half-way through one response the spring has covered most of the way.
        EXPECT_GT(c.spring.position(c.spring.response / 2), 0.6);
    }
}

}  // namespace
