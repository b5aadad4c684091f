// Placement of the scan display on screens with and without a camera housing.
#include "Identity/NotchMetrics.h"

#include <gtest/gtest.h>

namespace {

struct PlacementCase {
    const char* name;
    NotchScreen screen;
    QRectF frame;
    double notchWidth;
    double notchHeight;
};

TEST(NotchMetrics, PlacesThePanelUnderTheHousingOrAtTheTopCentre) {
    const PlacementCase cases[] = {
        {"housing between two 700-point strips", {QRectF(0, 0, 1600, 1000), 32, 700, 700},
         QRectF(570, 0, 460, 102), 200, 32},
        {"housing off centre", {QRectF(0, 0, 1600, 1000), 32, 600, 800}, QRectF(470, 0, 460, 102), 200, 32},
        {"housing narrower than 120 is taken as 120", {QRectF(0, 0, 1600, 1000), 38, 760, 760},
         QRectF(630, 0, 380, 108), 120, 38},
        {"housing without strips spans the screen", {QRectF(0, 0, 300, 600), 30, {}, {}},
         QRectF(-130, 0, 560, 100), 300, 30},
        {"no housing: 170 x 24 tab at the top centre", {QRectF(0, 0, 1280, 800), 0, {}, {}},
         QRectF(425, 0, 430, 94), 170, 24},
        {"no housing on a screen right of the primary", {QRectF(1280, 0, 1920, 1080), 0, {}, {}},
         QRectF(2025, 0, 430, 94), 170, 24},
        {"no housing on a screen below another", {QRectF(0, 800, 1024, 768), 0, 400, 400},
         QRectF(297, 800, 430, 94), 170, 24},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const NotchPlacement placement = resolveNotchPlacement(c.screen);
        EXPECT_EQ(placement.frame, c.frame);
        EXPECT_EQ(placement.metrics.notchWidth, c.notchWidth);
        EXPECT_EQ(placement.metrics.notchHeight, c.notchHeight);
        EXPECT_EQ(placement.metrics.windowSize, c.frame.size());
    }
}

}  // namespace
