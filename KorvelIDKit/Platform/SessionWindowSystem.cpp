#include "Platform/SessionWindowSystem.h"

#include <QGuiApplication>

#include <cstdlib>
#include <string_view>

#include "Platform/GnomeShellWindowSystem.h"
#include "Platform/KWinWindowSystem.h"
#include "Platform/SwayWindowSystem.h"
#include "Platform/X11WindowSystem.h"

std::shared_ptr<WindowSystem> openSessionWindowSystem() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const bool waylandSession = (type && std::string_view(type) == "wayland") || (wayland && *wayland);
    // A compositor's own control places only native Wayland windows: a curtain Qt draws through
    // XWayland (QT_QPA_PLATFORM=xcb) would go unguarded while its keyboard grab still succeeds.
    // The X11 code then reports the session as Wayland, and the App Lock page says so.
    const QString platform = QGuiApplication::platformName();
    if (waylandSession && !platform.isEmpty() && !platform.startsWith(QLatin1String("wayland"))) return X11WindowSystem::open();
    // i3 on X11 also names its socket, but there EWMH sees every window.
    if (waylandSession && SwayWindowSystem::isSwaySession()) return SwayWindowSystem::open();
    if (waylandSession && KWinWindowSystem::isKWinWaylandSession()) return KWinWindowSystem::open();
    if (waylandSession && GnomeShellWindowSystem::isGnomeSession()) {
        auto gnome = GnomeShellWindowSystem::open();
        // Without the extension the App Lock page says how to turn it on; it must be in place for
        // the Shell to find at the next log-in.
        if (gnome->windowControl() != WindowControl::available) GnomeShellWindowSystem::installExtension();
        return gnome;
    }
    return X11WindowSystem::open();
}
