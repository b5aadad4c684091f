#pragma once
// The few symbols of the app-lock page, taken from the icon theme when it has them and drawn
// otherwise, so the page never shows an empty square on a bare desktop.
#include <QIcon>
#include <QPixmap>

#include <string>

namespace AppLockSymbols {
// An application's icon from its desktop entry's Icon= (theme name or absolute path), or the
// dashed placeholder when there is none.
QIcon applicationIcon(const std::string& icon);
QIcon placeholderApp();       // a dashed rounded square
QIcon emptyState();           // a dashed rounded square with a lock
QIcon shield();               // the banner's shield
QIcon trash();
QIcon add();
}  // namespace AppLockSymbols
