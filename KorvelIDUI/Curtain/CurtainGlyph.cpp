#include "Curtain/CurtainGlyph.h"

#include <QPainter>
#include <QPainterPath>

namespace {
const QColor accent(0x0a, 0x84, 0xff);
}

CurtainGlyph::CurtainGlyph(QWidget* parent) : QWidget(parent) {
    setObjectName("curtainGlyph");
    setFixedSize(110, 110);
    pulse_.setStartValue(1.0);
    pulse_.setKeyValueAt(0.5, 0.45);
    pulse_.setEndValue(1.0);
    pulse_.setDuration(1400);
    pulse_.setLoopCount(-1);
    pulse_.setEasingCurve(QEasingCurve::InOutSine);
    connect(&pulse_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        symbolOpacity_ = v.toDouble();
        update();
    });
}

void CurtainGlyph::setSymbol(Symbol symbol) {
    if (symbol == symbol_) return;
    symbol_ = symbol;
    update();
}

void CurtainGlyph::setPulsing(bool pulsing) {
    if (pulsing == isPulsing()) return;
    if (pulsing) {
        pulse_.start();
    } else {
        pulse_.stop();
        symbolOpacity_ = 1.0;
        update();
    }
}

void CurtainGlyph::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor disc = accent;
    disc.setAlphaF(0.12f);
    p.setPen(Qt::NoPen);
    p.setBrush(disc);
    p.drawEllipse(rect());

    // The symbol takes 52 of the 110 points, centred.
    const QRectF box(29, 29, 52, 52);
    p.setOpacity(symbolOpacity_);
    QPen pen(accent, 4.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    switch (symbol_) {
    case Symbol::face: drawFace(p, box); break;
    case Symbol::lockWarning: drawLockWarning(p, box); break;
    case Symbol::key: drawKey(p, box); break;
    }
}

void CurtainGlyph::drawFace(QPainter& p, const QRectF& b) const {
    // Four corner brackets around eyes, nose and a smile.
    const double c = 13;  // bracket arm
    const double l = b.left(), t = b.top(), r = b.right(), bt = b.bottom();
    QPainterPath corners;
    corners.moveTo(l, t + c); corners.lineTo(l, t + 4); corners.quadTo(l, t, l + 4, t); corners.lineTo(l + c, t);
    corners.moveTo(r - c, t); corners.lineTo(r - 4, t); corners.quadTo(r, t, r, t + 4); corners.lineTo(r, t + c);
    corners.moveTo(r, bt - c); corners.lineTo(r, bt - 4); corners.quadTo(r, bt, r - 4, bt); corners.lineTo(r - c, bt);
    corners.moveTo(l + c, bt); corners.lineTo(l + 4, bt); corners.quadTo(l, bt, l, bt - 4); corners.lineTo(l, bt - c);
    p.drawPath(corners);
    const QPointF mid = b.center();
    p.drawLine(QPointF(mid.x() - 10, mid.y() - 9), QPointF(mid.x() - 10, mid.y() - 4));
    p.drawLine(QPointF(mid.x() + 10, mid.y() - 9), QPointF(mid.x() + 10, mid.y() - 4));
    QPainterPath nose;
    nose.moveTo(mid.x() + 1, mid.y() - 8);
    nose.lineTo(mid.x() + 1, mid.y() + 3);
    nose.lineTo(mid.x() - 2, mid.y() + 3);
    p.drawPath(nose);
    QPainterPath smile;
    smile.moveTo(mid.x() - 10, mid.y() + 10);
    smile.quadTo(mid.x(), mid.y() + 17, mid.x() + 10, mid.y() + 10);
    p.drawPath(smile);
}

void CurtainGlyph::drawLockWarning(QPainter& p, const QRectF& b) const {
    // Padlock on the left, a warning triangle overlapping its lower right corner.
    const QRectF body(b.left() + 2, b.top() + 22, 32, 26);
    p.drawArc(QRectF(body.left() + 6, b.top() + 4, 20, 30), 0, 180 * 16);
    p.drawLine(QPointF(body.left() + 6, b.top() + 19), QPointF(body.left() + 6, body.top()));
    p.drawLine(QPointF(body.right() - 6, b.top() + 19), QPointF(body.right() - 6, body.top()));
    p.setBrush(accent);
    p.drawRoundedRect(body, 4, 4);
    QPainterPath triangle;
    const QPointF apex(b.right() - 10, b.top() + 24);
    triangle.moveTo(apex);
    triangle.lineTo(b.right() + 3, b.bottom() + 1);
    triangle.lineTo(b.right() - 23, b.bottom() + 1);
    triangle.closeSubpath();
    QPen outline(QColor(0x12, 0x14, 0x19), 3.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(outline);
    p.drawPath(triangle);
    p.setPen(QPen(QColor(0x12, 0x14, 0x19), 3.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(apex.x(), apex.y() + 9), QPointF(apex.x(), apex.y() + 17));
    p.drawPoint(QPointF(apex.x(), apex.y() + 22));
}

void CurtainGlyph::drawKey(QPainter& p, const QRectF& b) const {
    // A key lying diagonally: ring at the upper left, shaft with two teeth to the lower right.
    p.save();
    p.translate(b.center());
    p.rotate(45);
    p.setBrush(accent);
    QPainterPath head;
    head.addEllipse(QPointF(0, -14), 12, 12);
    QPainterPath hole;
    hole.addEllipse(QPointF(0, -18), 3.5, 3.5);
    p.setPen(Qt::NoPen);
    p.drawPath(head.subtracted(hole));
    p.drawRoundedRect(QRectF(-3.5, -4, 7, 30), 2, 2);
    p.drawRect(QRectF(3, 12, 7, 4));
    p.drawRect(QRectF(3, 19, 5, 4));
    p.restore();
}
