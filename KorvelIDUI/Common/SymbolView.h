#pragma once
// One symbol of SymbolPainter as a widget, optionally on a filled circle, optionally pulsing
// (a repeating fade) to say that something is going on.
#include <QColor>
#include <QVariantAnimation>
#include <QWidget>

class SymbolView : public QWidget {
    Q_OBJECT

public:
    // `symbolSize` is the symbol's edge in logical pixels; the widget is `size` square.
    SymbolView(QString symbol, int size, int symbolSize, QWidget* parent = nullptr);

    void setSymbol(const QString& symbol);
    const QString& symbol() const { return symbol_; }
    void setColor(const QColor& color);
    void setWeight(double weight);
    // Fills a circle of the widget's size behind the symbol (invalid colour: none).
    void setCircleFill(const QColor& color);
    void setPulsing(bool pulsing);
    bool isPulsing() const { return pulse_.state() == QAbstractAnimation::Running; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString symbol_;
    int symbolSize_;
    QColor color_ = Qt::white;
    QColor circleFill_;
    double weight_ = 1;
    double opacity_ = 1;
    QVariantAnimation pulse_;
};
