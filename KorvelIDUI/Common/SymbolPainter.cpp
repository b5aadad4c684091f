#include "Common/SymbolPainter.h"

#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

QPointF at(const QRectF& r, double x, double y) { return {r.left() + x * r.width(), r.top() + y * r.height()}; }

void eye(QPainter& p, const QRectF& r) {
    QPainterPath outline;
    outline.moveTo(at(r, 0.04, 0.5));
    outline.quadTo(at(r, 0.5, 0.02), at(r, 0.96, 0.5));
    outline.quadTo(at(r, 0.5, 0.98), at(r, 0.04, 0.5));
    p.drawPath(outline);
    const double iris = r.width() * 0.15;
    p.drawEllipse(r.center(), iris, iris);
}

void checkmark(QPainter& p, const QRectF& r) {
    const QPointF points[] = {at(r, 0.16, 0.54), at(r, 0.40, 0.78), at(r, 0.86, 0.24)};
    p.drawPolyline(points, 3);
}

void xmark(QPainter& p, const QRectF& r) {
    p.drawLine(at(r, 0.22, 0.22), at(r, 0.78, 0.78));
    p.drawLine(at(r, 0.78, 0.22), at(r, 0.22, 0.78));
}

void faceid(QPainter& p, const QRectF& r) {
    // Four corner brackets, two eyes, a nose and a smile.
    const double c = 0.26;
    const QPointF corners[4][3] = {
        {at(r, 0.04, c + 0.04), at(r, 0.04, 0.04), at(r, c + 0.04, 0.04)},
        {at(r, 0.96 - c, 0.04), at(r, 0.96, 0.04), at(r, 0.96, c + 0.04)},
        {at(r, 0.04, 0.96 - c), at(r, 0.04, 0.96), at(r, c + 0.04, 0.96)},
        {at(r, 0.96 - c, 0.96), at(r, 0.96, 0.96), at(r, 0.96, 0.96 - c)},
    };
    for (const auto& corner : corners) p.drawPolyline(corner, 3);
    p.drawLine(at(r, 0.34, 0.34), at(r, 0.34, 0.42));
    p.drawLine(at(r, 0.66, 0.34), at(r, 0.66, 0.42));
    const QPointF nose[] = {at(r, 0.5, 0.36), at(r, 0.5, 0.58), at(r, 0.44, 0.58)};
    p.drawPolyline(nose, 3);
    QPainterPath smile;
    smile.moveTo(at(r, 0.34, 0.70));
    smile.quadTo(at(r, 0.5, 0.82), at(r, 0.66, 0.70));
    p.drawPath(smile);
}

void lockWarning(QPainter& p, const QRectF& r) {
    // A padlock with a warning triangle over its lower right corner.
    QPainterPath shackle;
    shackle.moveTo(at(r, 0.22, 0.44));
    shackle.lineTo(at(r, 0.22, 0.28));
    shackle.arcTo(QRectF(at(r, 0.22, 0.08), at(r, 0.64, 0.48)), 180, -180);
    shackle.lineTo(at(r, 0.64, 0.44));
    p.drawPath(shackle);
    p.drawRoundedRect(QRectF(at(r, 0.10, 0.44), at(r, 0.76, 0.88)), r.width() * 0.06, r.width() * 0.06);
    QPainterPath triangle;
    triangle.moveTo(at(r, 0.76, 0.50));
    triangle.lineTo(at(r, 0.98, 0.96));
    triangle.lineTo(at(r, 0.54, 0.96));
    triangle.closeSubpath();
    const QPen pen = p.pen();
    p.setBrush(pen.color());
    p.drawPath(triangle);
    p.setBrush(Qt::NoBrush);
    QPen bang = pen;
    bang.setColor(Qt::white);
    bang.setWidthF(pen.widthF() * 0.8);
    p.setPen(bang);
    p.drawLine(at(r, 0.76, 0.64), at(r, 0.76, 0.80));
    p.drawPoint(at(r, 0.76, 0.89));
    p.setPen(pen);
}

}  // namespace

void SymbolPainter::paint(QPainter& painter, const QString& name, const QRectF& rect, const QColor& color, double weight) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(color, std::max(1.0, rect.width() * 0.075 * weight), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    if (name == "eye") eye(painter, rect);
    else if (name == "checkmark") checkmark(painter, rect);
    else if (name == "xmark") xmark(painter, rect);
    else if (name == "faceid") faceid(painter, rect);
    else if (name == "lock.trianglebadge.exclamationmark") lockWarning(painter, rect);
    painter.restore();
}

QIcon SymbolPainter::icon(const QString& name, int size, const QColor& color) {
    const qreal dpr = 2;
    QPixmap pixmap(QSize(size, size) * dpr);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    paint(painter, name, QRectF(1, 1, size - 2, size - 2), color);
    painter.end();
    return QIcon(pixmap);
}
