#include "Identity/NotchMetrics.h"

#include <algorithm>

QSizeF NotchMetrics::expandedShapeSize() const {
    return {std::min(notchWidth + expandedExtraWidth, windowSize.width()), notchHeight + expandedExtraHeight};
}

double NotchMetrics::contentWidth() const {
    return std::max(0.0, expandedShapeSize().width() - 2 * contentInset);
}

NotchPlacement resolveNotchPlacement(const NotchScreen& screen) {
    const QRectF& f = screen.frame;
    NotchMetrics m;
    double centreX = 0;
    if (screen.topInset > 0) {
        const double left = screen.topLeftWidth.value_or(0);
        const double right = screen.topRightWidth.value_or(0);
        m.notchHeight = screen.topInset;
        m.notchWidth = std::max(f.width() - left - right, NotchMetrics::minimumNotchWidth);
        centreX = f.left() + left + m.notchWidth / 2;
    } else {
        m.notchHeight = NotchMetrics::plainNotchHeight;
        m.notchWidth = NotchMetrics::plainNotchWidth;
        centreX = f.center().x();
    }
    m.windowSize = QSizeF(m.notchWidth + 2 * NotchMetrics::sidePadding, m.notchHeight + NotchMetrics::bottomPadding);
    const QRectF frame(centreX - m.windowSize.width() / 2, f.top(), m.windowSize.width(), m.windowSize.height());
    return {frame, m};
}
