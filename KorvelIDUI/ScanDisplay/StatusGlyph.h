#pragma once
// A round result badge (a tinted disc, an outline and a symbol) that springs in when it is shown.
#include <QColor>
#include <QVariantAnimation>
#include <QWidget>

class StatusGlyph : public QWidget {
    Q_OBJECT

public:
    static constexpr int edge = 24;

    explicit StatusGlyph(QWidget* parent = nullptr);

    // A new badge: symbol and tint set, the pop-in starts again from small and transparent.
    void present(const QString& symbol, const QColor& tint);
    const QString& symbol() const { return symbol_; }
    const QColor& tint() const { return tint_; }
    // 0 before the pop-in, 1 when it has settled (it overshoots on the way).
    double popProgress() const { return pop_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
    QColor tint_;
    double pop_ = 0;
    QVariantAnimation popAnimation_;
};
