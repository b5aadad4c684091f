#include "ScanDisplay/StatusGlyph.h"

#include "Common/SpringEasing.h"
#include "Common/SymbolPainter.h"

#include <QPainter>

#include <algorithm>

StatusGlyph::StatusGlyph(QWidget* parent) : QWidget(parent) {
    setFixedSize(edge, edge);
    setAttribute(Qt::WA_TranslucentBackground);
    popAnimation_.setStartValue(0.0);
    popAnimation_.setEndValue(1.0);
    SpringEasing::apply<350, 500>(popAnimation_);
    connect(&popAnimation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        pop_ = v.toDouble();
        update();
    });
}

void StatusGlyph::present(const QString& symbol, const QColor& tint) {
    symbol_ = symbol;
    tint_ = tint;
    popAnimation_.stop();
    pop_ = 0;
    popAnimation_.start();
    update();
}

void StatusGlyph::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    // Scale 0.6 → 1 and opacity 0 → 1 as the pop-in runs.
    const double scale = 0.6 + 0.4 * pop_;
    p.setOpacity(std::clamp(pop_, 0.0, 1.0));
    const QPointF c = QRectF(rect()).center();
    p.translate(c);
    p.scale(scale, scale);
    p.translate(-c);
    QColor fill = tint_;
    fill.setAlphaF(0.2f);
    const QRectF disc = QRectF(rect()).adjusted(1, 1, -1, -1);
    p.setPen(QPen(tint_, 2));
    p.setBrush(fill);
    p.drawEllipse(disc);
    const QRectF symbolBox(c.x() - 6.5, c.y() - 6.5, 13, 13);
    SymbolPainter::paint(p, symbol_, symbolBox, tint_, 1.8);
}
