#pragma once
// The program's own icon (the face in a scan frame on a blue tile), drawn in code so windows and
// the tray show it without an SVG renderer; the installed SVG is the same picture.
#include <QIcon>

namespace AppIcon {
QIcon icon();
}
