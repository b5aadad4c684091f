#include "Enrollment/EnrollmentPreviewView.h"

#include <QPainter>
#include <QPainterPath>

EnrollmentPreviewView::EnrollmentPreviewView(QWidget* parent) : QWidget(parent) {
    setObjectName("previewView");
    setFixedSize(previewWidth, previewHeight);
}

void EnrollmentPreviewView::setImage(const QImage& image) {
    image_ = image;
    update();
}

void EnrollmentPreviewView::setDone(bool done) {
    if (done == done_) return;
    done_ = done;
    update();
}

void EnrollmentPreviewView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF box = QRectF(rect()).adjusted(1, 1, -1, -1);
    QPainterPath rounded;
    rounded.addRoundedRect(box, cornerRadius, cornerRadius);
    painter.fillPath(rounded, QColor(0, 0, 0, 217));  // black at 85 %

    if (image_.isNull()) {
        paintPlaceholder(painter);
    } else {
        // Fill the box, cropping the longer side, and show the frame as a mirror would.
        const QSizeF scaled = QSizeF(image_.size()).scaled(box.size(), Qt::KeepAspectRatioByExpanding);
        const QRectF target(box.center().x() - scaled.width() / 2, box.center().y() - scaled.height() / 2,
                            scaled.width(), scaled.height());
        painter.save();
        painter.setClipPath(rounded);
        painter.translate(target.center());
        painter.scale(-1, 1);
        painter.translate(-target.center());
        painter.drawImage(target, image_);
        painter.restore();
    }

    QPen outline(done_ ? QColor(52, 199, 89) : QColor(255, 255, 255, 64), 2);
    painter.setPen(outline);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(rounded);
}

// A person in a framed square with a small camera: drawn, so it looks the same in every icon theme.
void EnrollmentPreviewView::paintPlaceholder(QPainter& painter) const {
    const qreal size = 44;
    const QRectF frame(rect().center().x() - size / 2, rect().center().y() - size / 2, size, size);
    const QColor ink(255, 255, 255, 128);
    painter.save();
    painter.setPen(QPen(ink, 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(frame.adjusted(0, 0, -8, -8), 7, 7);
    const QRectF person = frame.adjusted(0, 0, -8, -8);
    painter.setBrush(ink);
    painter.setPen(Qt::NoPen);
    const qreal head = person.width() * 0.30;
    painter.drawEllipse(QPointF(person.center().x(), person.top() + person.height() * 0.38), head / 2, head / 2);
    QPainterPath shoulders;
    const QRectF body(person.left() + person.width() * 0.2, person.top() + person.height() * 0.62, person.width() * 0.6,
                      person.height() * 0.5);
    shoulders.moveTo(body.left(), person.bottom() - 3);
    shoulders.arcTo(body, 180, -180);
    shoulders.lineTo(body.right(), person.bottom() - 3);
    shoulders.closeSubpath();
    painter.setClipRect(person.adjusted(2, 2, -2, -2));
    painter.drawPath(shoulders);
    painter.setClipping(false);
    // The camera badge at the lower right.
    const QRectF badge(frame.right() - 16, frame.bottom() - 12, 16, 12);
    painter.setBrush(ink);
    painter.drawRoundedRect(badge.adjusted(0, 2, -4, 0), 2, 2);
    QPolygonF lens{QPointF(badge.right() - 5, badge.top() + 6), QPointF(badge.right(), badge.top() + 3),
                   QPointF(badge.right(), badge.bottom() - 1)};
    painter.drawPolygon(lens);
    painter.restore();
}
