#include "Common/SymbolIcon.h"

#include <QFont>
#include <QGuiApplication>
#include <QPalette>
#include <QHash>
#include <QPainter>
#include <QPixmap>

QStringList SymbolIcon::themeNames(const QString& symbol) {
    static const QHash<QString, QStringList> names = {
        {"faceid", {"auth-face", "avatar-default", "user-info"}},
        {"lock.doc", {"channel-secure", "security-high"}},
        {"lock.fill", {"changes-prevent", "system-lock-screen"}},
        {"lock", {"changes-prevent", "system-lock-screen"}},
        {"lock.open.fill", {"changes-allow"}},
        {"lock.app.dashed", {"view-app-grid", "system-lock-screen", "changes-prevent"}},
        {"plus", {"list-add"}},
        {"tray", {"folder-documents", "folder"}},
        {"doc", {"application-x-generic", "text-x-generic"}},
        {"doc.text", {"text-x-generic", "x-office-document"}},
        {"doc.richtext", {"x-office-document", "application-x-generic"}},
        {"photo", {"image-x-generic"}},
        {"shippingbox", {"package-x-generic"}},
        {"ellipsis.circle", {"view-more", "open-menu"}},
        {"gearshape", {"emblem-system", "preferences-system"}},
        {"key.fill", {"dialog-password"}},
        {"camera", {"camera-web", "camera-photo"}},
        {"camera.fill", {"camera-web", "camera-photo"}},
        {"checkmark.circle.fill", {"emblem-default", "emblem-ok"}},
        {"checkmark.seal.fill", {"emblem-default", "emblem-ok"}},
        {"person.crop.square.badge.camera", {"camera-photo", "camera-web"}},
        {"exclamationmark.triangle", {"dialog-warning"}},
    };
    return names.value(symbol);
}

namespace {
QIcon drawnBadge(const QString& symbol) {
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(0x3c, 0x7c, 0xe0));
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(QRectF(4, 4, 56, 56), 14, 14);
    painter.setPen(Qt::white);
    QFont font;
    font.setPixelSize(34);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(pixmap.rect(), Qt::AlignCenter, symbol.left(1).toUpper());
    return QIcon(pixmap);
}
}  // namespace

namespace {
QHash<QString, bool>& symbolicIcons() {
    static QHash<QString, bool> found;
    return found;
}
}  // namespace

QIcon SymbolIcon::icon(const QString& symbol) {
    static QHash<QString, QIcon> cache;
    if (auto it = cache.constFind(symbol); it != cache.constEnd()) return *it;
    static const bool themeChosen = [] {
        // Without a desktop environment (a bare window manager) Qt picks no theme at all; Adwaita
        // is the icon set every GTK desktop installs.
        if (QIcon::themeName().isEmpty() || QIcon::themeName() == u"hicolor") QIcon::setThemeName(QStringLiteral("Adwaita"));
        if (QIcon::fallbackThemeName().isEmpty()) QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
        return true;
    }();
    Q_UNUSED(themeChosen);
    // Every symbolic candidate before any full-colour one: one flat style on every page.
    QIcon found;
    for (const bool symbolic : {true, false}) {
        for (const QString& name : themeNames(symbol)) {
            found = QIcon::fromTheme(symbolic ? name + QStringLiteral("-symbolic") : name);
            if (found.isNull()) continue;
            symbolicIcons().insert(symbol, symbolic);
            break;
        }
        if (!found.isNull()) break;
    }
    if (found.isNull()) found = drawnBadge(symbol);
    cache.insert(symbol, found);
    return found;
}

QPixmap SymbolIcon::pixmap(const QString& symbol, int size, const QColor& tint) {
    QPixmap drawn = icon(symbol).pixmap(size, size);
    if (!symbolicIcons().value(symbol)) return drawn;
    QPainter painter(&drawn);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(drawn.rect(), tint.isValid() ? tint : QGuiApplication::palette().color(QPalette::WindowText));
    return drawn;
}
