#pragma once
// The program's symbols by meaning ("faceid", "lock.doc", "key.fill", …), drawn from the desktop's
// icon theme (Adwaita as the fallback theme) and, when the theme has nothing, from a plain drawn
// badge so no control is ever left without a picture.
#include <QIcon>
#include <QString>

class SymbolIcon {
public:
    SymbolIcon() = delete;
    static QIcon icon(const QString& symbol);
    static QPixmap pixmap(const QString& symbol, int size);
    // The freedesktop icon names tried for a symbol, best first.
    static QStringList themeNames(const QString& symbol);
};
