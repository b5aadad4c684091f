#pragma once
// The black shape of the scan display: a rounded tab hanging from the top edge of the screen whose
// top corners flare outwards in concave fillets, so it blends into the screen edge.
#include <QPainterPath>
#include <QSizeF>

struct NotchShape {
    double cornerRadius = 22;
    double topFillet = 9;

    // The outline for a tab of `size`, drawn from (0, 0). The top edge runs from -f to width + f
    // (f = the effective fillet), the body is width - 2f wide.
    QPainterPath path(const QSizeF& size) const;
    // Radius and fillet actually used for `height`: the radius is at most half the height, the
    // fillet at most the radius.
    double effectiveRadius(double height) const;
    double effectiveFillet(double height) const;
};
