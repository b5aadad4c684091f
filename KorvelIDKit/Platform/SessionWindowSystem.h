#pragma once
// The window system for the session this program runs in: sway's IPC under sway, a KWin script
// under KDE Plasma and Korvel ID's Shell extension under GNOME on Wayland, EWMH on an X11 display.
// Any other Wayland session gets the X11 adapter, which reports that it cannot see the desktop's
// windows (XWayland shows it only X11 applications).
#include <memory>

#include "AppLock/WindowSystem.h"

std::shared_ptr<WindowSystem> openSessionWindowSystem();
