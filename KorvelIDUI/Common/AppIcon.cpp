#include "Common/AppIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {
// Coordinates of the 128-unit drawing of com.korvel.id.svg.
QPixmap draw(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 128.0, size / 128.0);
    QLinearGradient fill(0, 8, 0, 120);
    fill.setColorAt(0, QColor(0x4a, 0x8c, 0xf0));
    fill.setColorAt(1, QColor(0x24, 0x57, 0xc5));
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(8, 8, 112, 112), 26, 26);
    p.setPen(QPen(Qt::white, 7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath frame;
    const QPointF corners[4][3] = {{{30, 46}, {30, 30}, {46, 30}}, {{82, 30}, {98, 30}, {98, 46}},
                                   {{98, 82}, {98, 98}, {82, 98}}, {{46, 98}, {30, 98}, {30, 82}}};
    for (const auto& c : corners) {
        frame.moveTo(c[0]);
        frame.quadTo(c[1], c[2]);
    }
    p.drawPath(frame);
    QPainterPath face;
    face.moveTo(50, 52);
    face.lineTo(50, 58);
    face.moveTo(78, 52);
    face.lineTo(78, 58);
    face.moveTo(64, 52);
    face.lineTo(64, 68);
    face.lineTo(59, 68);
    face.moveTo(52, 80);
    face.quadTo(64, 89, 76, 80);
    p.drawPath(face);
    return pixmap;
}
}  // namespace

QIcon AppIcon::icon() {
    static const QIcon icon = [] {
        QIcon made;
        for (int size : {16, 22, 24, 32, 48, 64, 88, 128, 256}) made.addPixmap(draw(size));
        return made;
    }();
    return icon;
}
