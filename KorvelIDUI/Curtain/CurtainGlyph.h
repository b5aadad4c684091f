#pragma once
// The round glyph at the top of the curtain: a face while scanning (pulsing), a lock with a
// warning badge after a failed scan, a key on the password route. Drawn, so it looks the same
// under every icon theme.
#include <QVariantAnimation>
#include <QWidget>

class CurtainGlyph : public QWidget {
    Q_OBJECT

public:
    enum class Symbol { face, lockWarning, key };

    explicit CurtainGlyph(QWidget* parent = nullptr);

    Symbol symbol() const { return symbol_; }
    void setSymbol(Symbol symbol);
    // Repeated soft pulsing of the symbol (while a scan runs).
    void setPulsing(bool pulsing);
    bool isPulsing() const { return pulse_.state() == QAbstractAnimation::Running; }

    QSize sizeHint() const override { return {110, 110}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void drawFace(class QPainter& p, const QRectF& box) const;
    void drawLockWarning(QPainter& p, const QRectF& box) const;
    void drawKey(QPainter& p, const QRectF& box) const;

    Symbol symbol_ = Symbol::face;
    QVariantAnimation pulse_;
    double symbolOpacity_ = 1.0;
};
