#pragma once
// The scan's progress ring: a faint track with a bright arc. Without progress yet the arc is a
// short segment spinning endlessly; with progress it grows clockwise from twelve o'clock.
#include <QVariantAnimation>
#include <QWidget>

class ScanRing : public QWidget {
    Q_OBJECT

public:
    static constexpr int edge = 22;
    static constexpr double lineWidth = 3;
    static constexpr double spinningArc = 0.28;  // fraction of the circle while indeterminate
    static constexpr double minimumArc = 0.06;   // the smallest visible determinate arc

    explicit ScanRing(QWidget* parent = nullptr);

    // 0 or less: indeterminate. Changes of a determinate value ease out over 0.2 s.
    void setProgress(double progress);
    double progress() const { return progress_; }
    bool isSpinning() const { return spin_.state() == QAbstractAnimation::Running; }

    // Fraction of the circle the arc covers for `progress`.
    static double arcFraction(double progress);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void updateSpin();

    double progress_ = 0;
    double shownFraction_ = spinningArc;
    double angle_ = 0;  // degrees of the spinning arc
    QVariantAnimation spin_;
    QVariantAnimation grow_;
};
