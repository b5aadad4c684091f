#pragma once
// Measures a window's texts against its widgets' geometry, so that a translation that no longer
// fits fails a test instead of waiting for someone to notice it on screen.
#include <QWidget>

#include <string>
#include <vector>

namespace TextFits {
// One line per text of `window` cut short: a label, button, check box, group title, tab, combo entry
// or placeholder larger than its widget, a widget cut off by its parent or the window, or two drawn
// over each other. Hidden widgets and scrolled-away content count as fitting.
std::vector<std::string> misfits(QWidget& window);

// Shows `window` in each of the six languages (the views relabel themselves on the language
// change), expects no misfits and saves "<name>-<lang>.png" into $KORVEL_SCREENSHOT_DIR when that
// is set, for a person to look at. Leaves the language English.
void expectFitsInEveryLanguage(QWidget& window, const std::string& name);
}  // namespace TextFits
