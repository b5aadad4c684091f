#pragma once
// The scan display's panel: the black tab that grows out of the top edge of the screen and the row
// inside it (progress ring, blink request or result badge with its texts). It follows NotchState
// and animates the changes; it holds no decisions.
#include "Identity/NotchMetrics.h"
#include "Identity/NotchState.h"
#include "ScanDisplay/NotchShape.h"

#include <QVariantAnimation>
#include <QWidget>

class QGraphicsOpacityEffect;
class QLabel;
class ScanRing;
class StatusGlyph;
class SymbolView;

class NotchView : public QWidget {
    Q_OBJECT

public:
    static QColor approvedTint();
    static QColor deniedTint();

    NotchView(NotchState& state, const NotchMetrics& metrics, QWidget* parent = nullptr);

    const NotchMetrics& metrics() const { return metrics_; }
    void setMetrics(const NotchMetrics& metrics);

    // The shape's size on screen right now (it springs towards the phase's size).
    QSizeF shapeSize() const { return shapeSize_; }
    // Where the shape sits inside the panel: centred at the top.
    QRectF shapeRect() const;
    double contentOpacity() const;

    // Parts reached by tests.
    ScanRing* ring() const { return ring_; }
    StatusGlyph* glyph() const { return glyph_; }
    SymbolView* eye() const { return eye_; }
    QLabel* titleLabel() const { return title_; }
    QLabel* detailLabel() const { return detail_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void buildContent();
    void phaseChanged(const NotchPhase& phase, NotchTransition transition);
    enum class Fade { appear, easeInOut, spring };
    void fadeContent(double to, Fade fade);
    void showContent(const NotchPhase& phase);
    void layoutContent();
    void setShapeSize(const QSizeF& size);
    QSizeF targetShapeSize(const NotchPhase& phase) const;

    NotchState& state_;
    NotchMetrics metrics_;
    NotchShape shape_;
    QSizeF shapeSize_;
    NotchPhase::Kind shownKind_ = NotchPhase::Kind::idle;
    QVariantAnimation shapeAnimation_;
    QVariantAnimation opacityAnimation_;
    QWidget* content_ = nullptr;
    QGraphicsOpacityEffect* contentOpacity_ = nullptr;
    ScanRing* ring_ = nullptr;
    SymbolView* eye_ = nullptr;
    StatusGlyph* glyph_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* detail_ = nullptr;
};
