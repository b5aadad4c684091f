#include "ScanDisplay/NotchShape.h"

#include <algorithm>

double NotchShape::effectiveRadius(double height) const { return std::min(cornerRadius, height / 2); }

double NotchShape::effectiveFillet(double height) const { return std::min(topFillet, effectiveRadius(height)); }

QPainterPath NotchShape::path(const QSizeF& size) const {
    const double w = size.width();
    const double h = size.height();
    const double r = effectiveRadius(h);
    const double f = effectiveFillet(h);
    QPainterPath p;
    p.moveTo(-f, 0);
    p.quadTo(f, 0, f, f);
    p.lineTo(f, h - r);
    p.quadTo(f, h, f + r, h);
    p.lineTo(w - f - r, h);
    p.quadTo(w - f, h, w - f, h - r);
    p.lineTo(w - f, f);
    p.quadTo(w - f, 0, w + f, 0);
    p.closeSubpath();
    return p;
}
