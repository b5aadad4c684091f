#include "Platform/SessionWindowSystem.h"

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
