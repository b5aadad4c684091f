#include "Curtain/CurtainSpinner.h"

#include <QPainter>

CurtainSpinner::CurtainSpinner(QWidget* parent) : QWidget(parent) {
    setFixedSize(16, 16);
    timer_.setInterval(40);
    connect(&timer_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 30) % 360;
        update();
    });
}

void CurtainSpinner::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(235, 235, 245, 150), 2.0, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(2, 2, 12, 12), -angle_ * 16, 270 * 16);
}

// Runs only while visible: a hidden spinner costs nothing.
void CurtainSpinner::showEvent(QShowEvent*) { timer_.start(); }
void CurtainSpinner::hideEvent(QHideEvent*) { timer_.stop(); }
