// Placement of the scan display: a tab at the top centre of its screen, wherever that screen lies.
// (The program never reports a camera housing, so only the plain placement is checked.)
#include "Identity/NotchMetrics.h"

#include <gtest/gtest.h>

TEST(NotchMetrics, PlacesThePanelAtTheTopCentreOfItsScreen) {
    const std::pair<QRectF, QRectF> cases[] = {
        {QRectF(0, 0, 1280, 800), QRectF(425, 0, 430, 94)},
        {QRectF(1280, 0, 1920, 1080), QRectF(2025, 0, 430, 94)},  // right of the primary
        {QRectF(0, 800, 1024, 768), QRectF(297, 800, 430, 94)},    // below another
    };
    for (const auto& [screen, frame] : cases) {
        const NotchPlacement placement = resolveNotchPlacement(NotchScreen{screen, 0, {}, {}});
        EXPECT_EQ(placement.frame, frame);
        EXPECT_EQ(placement.metrics.windowSize, frame.size());
    }
}
