#pragma once
// The few symbols the face screens use ("eye", "checkmark", "xmark", "faceid",
// "lock.trianglebadge.exclamationmark"), drawn as vector strokes so they look the same on every
// desktop, whatever icon theme is installed.
#include <QColor>
#include <QRectF>
#include <QString>

class QPainter;
class QIcon;

namespace SymbolPainter {

// Draws `name` centred in `rect` with strokes proportional to the rect and `weight` (1 = regular,
// 1.4 = semibold, 1.8 = bold). Unknown names draw nothing.
void paint(QPainter& painter, const QString& name, const QRectF& rect, const QColor& color, double weight = 1);

// The symbol as an icon of `size` logical pixels (for buttons).
QIcon icon(const QString& name, int size, const QColor& color);

}  // namespace SymbolPainter
