#pragma once
// The program's symbols by meaning ("faceid", "lock.doc", "key.fill", …), drawn from the desktop's
// icon theme (Adwaita as the fallback theme) in one style: the theme's flat symbolic icons first,
// its full-colour ones only where no symbolic one exists, and, when the theme has nothing, a plain
// drawn badge so no control is ever left without a picture.
#include <QIcon>
#include <QString>

class SymbolIcon {
public:
    SymbolIcon() = delete;
    static QIcon icon(const QString& symbol);
    // A symbolic icon is drawn in `tint` (the palette's text colour when none is given), so it
    // stays visible on light and dark windows alike.
    static QPixmap pixmap(const QString& symbol, int size, const QColor& tint = {});
    // The freedesktop icon names tried for a symbol, best first.
    static QStringList themeNames(const QString& symbol);
};
