#include "ScanDisplay/ScanRing.h"

#include <QPainter>

#include <algorithm>

ScanRing::ScanRing(QWidget* parent) : QWidget(parent) {
    setFixedSize(edge, edge);
    setAttribute(Qt::WA_TranslucentBackground);
    spin_.setStartValue(0.0);
    spin_.setEndValue(360.0);
    spin_.setDuration(900);
    spin_.setLoopCount(-1);
    connect(&spin_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        angle_ = v.toDouble();
        update();
    });
    grow_.setDuration(200);
    grow_.setEasingCurve(QEasingCurve::OutCubic);
    connect(&grow_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        shownFraction_ = v.toDouble();
        update();
    });
}

double ScanRing::arcFraction(double progress) {
    return progress <= 0 ? spinningArc : std::max(progress, minimumArc);
}

void ScanRing::setProgress(double progress) {
    const bool wasDeterminate = progress_ > 0;
    progress_ = progress;
    grow_.stop();
    if (progress > 0 && wasDeterminate) {
        grow_.setStartValue(shownFraction_);
        grow_.setEndValue(arcFraction(progress));
        grow_.start();
    } else {
        shownFraction_ = arcFraction(progress);
    }
    updateSpin();
    update();
}

void ScanRing::updateSpin() {
    // The spin runs only while the ring is indeterminate and on screen.
    const bool want = progress_ <= 0 && isVisible();
    if (want && !isSpinning()) spin_.start();
    if (!want && isSpinning()) spin_.stop();
}

void ScanRing::showEvent(QShowEvent*) { updateSpin(); }

void ScanRing::hideEvent(QHideEvent*) { updateSpin(); }

void ScanRing::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF circle = QRectF(rect()).adjusted(lineWidth / 2, lineWidth / 2, -lineWidth / 2, -lineWidth / 2);
    QColor track(Qt::white);
    track.setAlphaF(0.18f);
    p.setPen(QPen(track, lineWidth));
    p.drawEllipse(circle);
    p.setPen(QPen(Qt::white, lineWidth, Qt::SolidLine, Qt::RoundCap));
    const double span = std::min(shownFraction_, 1.0) * 360;
    // Qt counts angles anticlockwise from three o'clock; negative spans run clockwise.
    const double start = progress_ <= 0 ? -angle_ : 90;
    p.drawArc(circle, static_cast<int>(start * 16), static_cast<int>(-span * 16));
}
