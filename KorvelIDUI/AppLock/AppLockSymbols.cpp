#include "AppLock/AppLockSymbols.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImageReader>
#include <QPixmap>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QRegularExpression>

#include <functional>

#include "Support/FileIO.h"

namespace {
const QColor accent(0x0a, 0x84, 0xff);

QIcon drawn(int size, const std::function<void(QPainter&, double)>& paint) {
    QPixmap pixmap(size * 2, size * 2);  // sharp on high-density screens
    pixmap.setDevicePixelRatio(2.0);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    paint(p, size);
    return QIcon(pixmap);
}

// An icon file's content, or nothing for what would hold the GUI thread: an SVG naming other files
// (QtSvg opens them itself, and a pipe never answers) or an image of more than 1024 pixels a side
// (a small compressed file can hold a huge one, and the chooser keeps one per application).
QIcon fromFileContent(const Bytes& content) {
    QByteArray bytes(reinterpret_cast<const char*>(content.data()), static_cast<qsizetype>(content.size()));
    static const QRegularExpression outsideReference(QStringLiteral(R"(href\s*=\s*["']\s*(?!data:|#))"),
                                                     QRegularExpression::CaseInsensitiveOption);
    if (QString::fromUtf8(bytes).contains(outsideReference)) return {};
    QBuffer buffer(&bytes);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > 1024 || size.height() > 1024) return {};
    if (size.width() > 256 || size.height() > 256) reader.setScaledSize(size.scaled(256, 256, Qt::KeepAspectRatio));
    const QImage image = reader.read();
    return image.isNull() ? QIcon() : QIcon(QPixmap::fromImage(image));
}

QIcon themedOr(const char* themeName, const QIcon& fallback) {
    const QIcon icon = QIcon::fromTheme(themeName);
    return icon.isNull() ? fallback : icon;
}

void dashedSquare(QPainter& p, double s, const QColor& color) {
    QPen pen(color, s / 18.0, Qt::DashLine, Qt::RoundCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const double m = s * 0.1;
    p.drawRoundedRect(QRectF(m, m, s - 2 * m, s - 2 * m), s * 0.2, s * 0.2);
}
}  // namespace

namespace AppLockSymbols {

QIcon applicationIcon(const std::string& icon) {
    if (!icon.empty()) {
        const QString name = QString::fromStdString(icon);
        if (QFileInfo(name).isAbsolute()) {
            // Read here, not by QIcon on the GUI thread: a desktop entry may name a pipe (an open
            // that never returns) or /dev/zero. Installed icons are often links.
            const auto file = readWholeFile(icon, {.maxBytes = std::uint64_t(4) << 20, .followLinks = true});
            if (const QIcon read = file.ok() ? fromFileContent(file.data) : QIcon(); !read.isNull()) return read;
        } else if (!name.contains(u'/') && QIcon::hasThemeIcon(name)) {
            // A theme name is a name: "../../tmp/x" would reach a file outside the theme.
            return QIcon::fromTheme(name);
        }
    }
    return placeholderApp();
}

QIcon placeholderApp() {
    return drawn(28, [](QPainter& p, double s) { dashedSquare(p, s, QColor(128, 128, 128)); });
}

QIcon emptyState() {
    return drawn(64, [](QPainter& p, double s) {
        dashedSquare(p, s, QColor(140, 140, 140));
        p.setPen(QPen(QColor(140, 140, 140), s / 22.0, Qt::SolidLine, Qt::RoundCap));
        const QRectF body(s * 0.34, s * 0.47, s * 0.32, s * 0.24);
        p.drawArc(QRectF(s * 0.40, s * 0.30, s * 0.20, s * 0.30), 0, 180 * 16);
        p.drawLine(QPointF(s * 0.40, s * 0.45), QPointF(s * 0.40, body.top()));
        p.drawLine(QPointF(s * 0.60, s * 0.45), QPointF(s * 0.60, body.top()));
        p.setBrush(QColor(140, 140, 140));
        p.drawRoundedRect(body, s * 0.03, s * 0.03);
    });
}

QIcon shield() {
    return drawn(28, [](QPainter& p, double s) {
        QPainterPath outline;
        outline.moveTo(s * 0.5, s * 0.06);
        outline.lineTo(s * 0.86, s * 0.2);
        outline.cubicTo(s * 0.86, s * 0.62, s * 0.7, s * 0.82, s * 0.5, s * 0.94);
        outline.cubicTo(s * 0.3, s * 0.82, s * 0.14, s * 0.62, s * 0.14, s * 0.2);
        outline.closeSubpath();
        p.setPen(QPen(accent, s / 14.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(outline);
        QPainterPath left;
        left.addRect(QRectF(0, 0, s * 0.5, s));
        p.setPen(Qt::NoPen);
        p.setBrush(accent);
        p.drawPath(outline.intersected(left));
    });
}

QIcon trash() {
    return themedOr("user-trash-symbolic", drawn(16, [](QPainter& p, double s) {
        p.setPen(QPen(QColor(120, 120, 120), 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawLine(QPointF(s * 0.15, s * 0.25), QPointF(s * 0.85, s * 0.25));
        p.drawLine(QPointF(s * 0.4, s * 0.12), QPointF(s * 0.6, s * 0.12));
        p.drawRoundedRect(QRectF(s * 0.25, s * 0.25, s * 0.5, s * 0.65), 1.5, 1.5);
    }));
}

QIcon add() {
    return themedOr("list-add-symbolic", drawn(16, [](QPainter& p, double s) {
        p.setPen(QPen(QColor(90, 90, 90), 1.6, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(s * 0.5, s * 0.2), QPointF(s * 0.5, s * 0.8));
        p.drawLine(QPointF(s * 0.2, s * 0.5), QPointF(s * 0.8, s * 0.5));
    }));
}
}  // namespace AppLockSymbols
