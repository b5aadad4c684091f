#include "Common/SymbolView.h"

#include "Common/SymbolPainter.h"

#include <QPainter>

#include <utility>

SymbolView::SymbolView(QString symbol, int size, int symbolSize, QWidget* parent)
    : QWidget(parent), symbol_(std::move(symbol)), symbolSize_(symbolSize) {
    setFixedSize(size, size);
    setAttribute(Qt::WA_TranslucentBackground);
    pulse_.setStartValue(1.0);
    pulse_.setKeyValueAt(0.5, 0.35);
    pulse_.setEndValue(1.0);
    pulse_.setDuration(1200);
    pulse_.setEasingCurve(QEasingCurve::InOutSine);
    pulse_.setLoopCount(-1);
    connect(&pulse_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        opacity_ = v.toDouble();
        update();
    });
}

void SymbolView::setSymbol(const QString& symbol) {
    if (symbol == symbol_) return;
    symbol_ = symbol;
    update();
}

void SymbolView::setColor(const QColor& color) {
    color_ = color;
    update();
}

void SymbolView::setWeight(double weight) {
    weight_ = weight;
    update();
}

void SymbolView::setCircleFill(const QColor& color) {
    circleFill_ = color;
    update();
}

void SymbolView::setPulsing(bool pulsing) {
    if (pulsing == isPulsing()) return;
    if (pulsing) {
        pulse_.start();
    } else {
        pulse_.stop();
        opacity_ = 1;
        update();
    }
}

void SymbolView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (circleFill_.isValid()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(circleFill_);
        painter.drawEllipse(QRectF(rect()));
    }
    painter.setOpacity(opacity_);
    const QRectF box(QPointF(0, 0), QSizeF(symbolSize_, symbolSize_));
    SymbolPainter::paint(painter, symbol_, box.translated(QRectF(rect()).center() - box.center()), color_, weight_);
}
