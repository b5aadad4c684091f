#pragma once
// Geometry of the heads-up scan display: where the panel sits on a screen and how large the black
// shape is in each phase. Pure functions over plain numbers (Qt Core only).
#include <QRectF>
#include <QSizeF>

#include <optional>

// What a screen tells about its top edge. Desktop screens have no camera housing (topInset 0); the
// housing branch is kept for screens that report one.
struct NotchScreen {
    QRectF frame;                       // the whole screen, in logical pixels, y downwards
    double topInset = 0;                // height of the camera housing, 0 when there is none
    std::optional<double> topLeftWidth;   // width of the usable strip left of the housing
    std::optional<double> topRightWidth;  // width of the usable strip right of the housing
};

struct NotchMetrics {
    double notchWidth = 0;   // width of the housing (or the stand-in tab)
    double notchHeight = 0;  // height of the housing (or the stand-in tab)
    QSizeF windowSize;       // size of the panel

    static constexpr double sidePadding = 130;    // panel room on each side of the housing
    static constexpr double bottomPadding = 70;   // panel room below the housing
    static constexpr double minimumNotchWidth = 120;
    static constexpr double plainNotchWidth = 170;   // stand-in tab on screens without a housing
    static constexpr double plainNotchHeight = 24;
    static constexpr double expandedExtraWidth = 230;
    static constexpr double expandedExtraHeight = 54;
    static constexpr double contentInset = 26;

    // Size of the black shape while something is shown: wider than the housing, never wider than the panel.
    QSizeF expandedShapeSize() const;
    // Size of the black shape at rest: exactly the housing.
    QSizeF idleShapeSize() const { return {notchWidth, notchHeight}; }
    // Width available to the content row inside the expanded shape (never negative).
    double contentWidth() const;

    friend bool operator==(const NotchMetrics&, const NotchMetrics&) = default;
};

struct NotchPlacement {
    QRectF frame;  // the panel, top edge on the screen's top edge
    NotchMetrics metrics;
    friend bool operator==(const NotchPlacement&, const NotchPlacement&) = default;
};

// Places the panel centred under the housing, or centred at the top of a screen without one.
NotchPlacement resolveNotchPlacement(const NotchScreen& screen);
