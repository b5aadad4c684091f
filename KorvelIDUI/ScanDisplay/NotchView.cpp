#include "ScanDisplay/NotchView.h"

#include "Common/ReasonText.h"
#include "Common/SpringEasing.h"
#include "Common/SymbolView.h"
#include "ScanDisplay/ScanRing.h"
#include "ScanDisplay/StatusGlyph.h"

#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPathStroker>
#include <QVBoxLayout>

#include <algorithm>

#include "Localization/Localization.h"

namespace {

QFont textFont(int pixelSize, QFont::Weight weight) {
    QFont font;
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

QLabel* makeLabel(const char* name, int pixelSize, QFont::Weight weight, const QColor& color, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    // The detail is a face's name from the data folder: shown as written, never as markup.
    label->setTextFormat(Qt::PlainText);
    label->setFont(textFont(pixelSize, weight));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
    return label;
}

}  // namespace

QColor NotchView::approvedTint() { return QColor(52, 199, 89); }
QColor NotchView::deniedTint() { return QColor(255, 69, 58); }

NotchView::NotchView(NotchState& state, const NotchMetrics& metrics, QWidget* parent)
    : QWidget(parent), state_(state), metrics_(metrics) {
    setObjectName("notchView");
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    buildContent();

    SpringEasing::apply<420, 740>(shapeAnimation_);
    connect(&shapeAnimation_, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& v) { setShapeSize(v.toSizeF()); });
    connect(&opacityAnimation_, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& v) { contentOpacity_->setOpacity(std::clamp(v.toDouble(), 0.0, 1.0)); });

    connect(&state_, &NotchState::phaseChanged, this, &NotchView::phaseChanged);
    connect(&Localizer::shared(), &Localizer::languageChanged, this, [this] {
        if (state_.phase().kind != NotchPhase::Kind::idle) showContent(state_.phase());
    });
    shownKind_ = state_.phase().kind;
    contentOpacity_->setOpacity(shownKind_ == NotchPhase::Kind::idle ? 0 : 1);
    showContent(state_.phase());
    setShapeSize(targetShapeSize(state_.phase()));
    resize(metrics_.windowSize.toSize());
}

void NotchView::buildContent() {
    content_ = new QWidget(this);
    content_->setObjectName("notchContent");
    contentOpacity_ = new QGraphicsOpacityEffect(content_);
    content_->setGraphicsEffect(contentOpacity_);
    auto* row = new QHBoxLayout(content_);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    ring_ = new ScanRing(content_);
    ring_->setObjectName("scanRing");
    eye_ = new SymbolView("eye", 20, 16, content_);
    eye_->setObjectName("blinkSymbol");
    eye_->setWeight(1.4);
    glyph_ = new StatusGlyph(content_);
    glyph_->setObjectName("statusGlyph");
    for (QWidget* lead : {static_cast<QWidget*>(ring_), static_cast<QWidget*>(eye_), static_cast<QWidget*>(glyph_)})
        row->addWidget(lead, 0, Qt::AlignVCenter);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(1);
    title_ = makeLabel("notchTitle", 13, QFont::Medium, Qt::white, content_);
    QColor dim(Qt::white);
    dim.setAlphaF(0.7f);
    detail_ = makeLabel("notchDetail", 11, QFont::Normal, dim, content_);
    texts->addWidget(title_);
    texts->addWidget(detail_);
    row->addLayout(texts, 1);
}

QSizeF NotchView::targetShapeSize(const NotchPhase& phase) const {
    return phase.kind == NotchPhase::Kind::idle ? metrics_.idleShapeSize() : metrics_.expandedShapeSize();
}

QRectF NotchView::shapeRect() const {
    return QRectF(QPointF((metrics_.windowSize.width() - shapeSize_.width()) / 2, 0), shapeSize_);
}

double NotchView::contentOpacity() const { return contentOpacity_->opacity(); }

void NotchView::setMetrics(const NotchMetrics& metrics) {
    if (metrics == metrics_) return;
    metrics_ = metrics;
    shapeAnimation_.stop();
    setShapeSize(targetShapeSize(state_.phase()));
    resize(metrics_.windowSize.toSize());
    layoutContent();
}

void NotchView::phaseChanged(const NotchPhase& phase, NotchTransition transition) {
    using Kind = NotchPhase::Kind;
    const bool idle = phase.kind == Kind::idle;
    const Kind previous = shownKind_;
    shownKind_ = phase.kind;
    // The shape follows every phase change with its own spring, whatever the caller asked for.
    shapeAnimation_.stop();
    if (targetShapeSize(phase) != shapeSize_) {
        shapeAnimation_.setStartValue(shapeSize_);
        shapeAnimation_.setEndValue(targetShapeSize(phase));
        shapeAnimation_.start();
    }
    if (idle || previous == Kind::idle) {
        // Appearing and disappearing: the row fades over 0.18 s; while fading out it keeps what
        // it showed last.
        fadeContent(idle ? 0 : 1, Fade::appear);
    } else if (previous != phase.kind && transition != NotchTransition::immediate) {
        // A new kind of content (blink request, result) comes in with the caller's animation.
        contentOpacity_->setOpacity(0);
        fadeContent(1, transition == NotchTransition::easeInOut ? Fade::easeInOut : Fade::spring);
    }
    if (!idle) showContent(phase);
}

void NotchView::fadeContent(double to, Fade fade) {
    opacityAnimation_.stop();
    if (contentOpacity_->opacity() == to) return;
    switch (fade) {
    case Fade::appear:
        opacityAnimation_.setEasingCurve(QEasingCurve::InOutQuad);
        opacityAnimation_.setDuration(180);
        break;
    case Fade::easeInOut:
        opacityAnimation_.setEasingCurve(QEasingCurve::InOutQuad);
        opacityAnimation_.setDuration(200);
        break;
    case Fade::spring:
        SpringEasing::apply<400, 700>(opacityAnimation_);
        break;
    }
    opacityAnimation_.setStartValue(contentOpacity_->opacity());
    opacityAnimation_.setEndValue(to);
    opacityAnimation_.start();
}

void NotchView::showContent(const NotchPhase& phase) {
    using Kind = NotchPhase::Kind;
    const bool result = phase.kind == Kind::approved || phase.kind == Kind::denied;
    ring_->setVisible(phase.kind == Kind::scanning);
    eye_->setVisible(phase.kind == Kind::blink);
    eye_->setPulsing(phase.kind == Kind::blink);
    glyph_->setVisible(result);
    detail_->setVisible(result);
    title_->setFont(textFont(13, result ? QFont::DemiBold : QFont::Medium));
    switch (phase.kind) {
    case Kind::idle:
        break;
    case Kind::scanning:
        ring_->setProgress(phase.progress);
        title_->setText(phase.text.empty() ? qL("scan.scanning") : QString::fromStdString(phase.text));
        break;
    case Kind::blink:
        title_->setText(qL("scan.blink"));
        break;
    case Kind::approved:
    case Kind::denied: {
        const bool approved = phase.kind == Kind::approved;
        glyph_->present(approved ? "checkmark" : "xmark", approved ? approvedTint() : deniedTint());
        title_->setText(qL(approved ? "scan.approved" : "scan.denied"));
        const QString detail = approved ? QString::fromStdString(phase.text) : reasonText(phase.text);
        detail_->setText(detail_->fontMetrics().elidedText(detail, Qt::ElideRight,
                                                          static_cast<int>(metrics_.contentWidth()) - StatusGlyph::edge - 10));
        break;
    }
    }
}

void NotchView::layoutContent() {
    const QSizeF expanded = metrics_.expandedShapeSize();
    const double top = metrics_.notchHeight + 4;
    const double left = (metrics_.windowSize.width() - expanded.width()) / 2 + NotchMetrics::contentInset;
    const double height = std::max(0.0, expanded.height() - top - 8);
    content_->setGeometry(QRectF(left, top, metrics_.contentWidth(), height).toRect());
}

void NotchView::setShapeSize(const QSizeF& size) {
    shapeSize_ = size;
    // Without a compositing manager the transparent part of the panel would show black: clip the
    // window to the shape (a pixel wider, so antialiased edges survive where compositing exists).
    if (isWindow()) {
        const QPainterPath outline = shape_.path(shapeSize_).translated(shapeRect().topLeft());
        QPainterPathStroker stroker;
        stroker.setWidth(2);
        setMask(QRegion(outline.united(stroker.createStroke(outline)).toFillPolygon().toPolygon()));
    }
    update();
}

void NotchView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(rect(), Qt::transparent);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.translate(shapeRect().topLeft());
    p.fillPath(shape_.path(shapeSize_), Qt::black);
}

void NotchView::resizeEvent(QResizeEvent*) { layoutContent(); }
