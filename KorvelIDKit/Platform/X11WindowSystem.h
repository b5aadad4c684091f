#pragma once
// The app lock's window system on X11 with an EWMH window manager. It keeps its own connection to
// the X server, watched by a socket notifier on the Qt main thread's event loop: the root window's
// _NET_ACTIVE_WINDOW and _NET_CLIENT_LIST changes become activation and termination events.
// Windows are mapped to application IDs through the desktop entries (DesktopEntries), with client
// PIDs from the X-Resource extension (or _NET_WM_PID). Main thread only.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AppLock/WindowSystem.h"

class X11WindowSystem final : public WindowSystem {
public:
    struct Options {
        std::string displayName;  // empty: $DISPLAY (and unavailable in a Wayland session)
        // Where desktop entries are read; none: the XDG data directories.
        std::optional<std::vector<std::filesystem::path>> applicationDirectories;
        // How long a request to iconify or activate a window is taken as done while the window
        // manager has not yet acted on it.
        double hideSettleSeconds = 1.0;
    };

    // Never fails: without an X server (or in a Wayland session) the result reports why through
    // windowControl() and sees nothing.
    static std::shared_ptr<X11WindowSystem> open(Options options);
    static std::shared_ptr<X11WindowSystem> open() { return open(Options{}); }
    ~X11WindowSystem() override;

    std::optional<std::string> frontmostApplicationID() override;
    std::vector<RunningApplication> runningApplications() override;
    using WindowSystem::runningApplications;
    void hide(const RunningApplication& app) override;
    void activate(const RunningApplication& app) override;
    void restore(const RunningApplication& app) override;
    // Events on the guarded windows and on every top-level window are acted on at once; the timer
    // catches what no event reported.
    static constexpr std::chrono::milliseconds guardInterval{50};
    bool guardWindows(std::vector<GuardedWindow> windows, std::function<void(bool)> disturbed) override;
    std::optional<std::string> defaultFileManagerID() override;
    WindowControl windowControl() override;
    void recheckWindowControl() override;
    WindowIntegration integration() const override { return WindowIntegration::x11; }

    // The application a top-level window belongs to (a window ID as xdotool and wmctrl print it).
    std::optional<std::string> applicationIDOfWindow(unsigned long window);

    struct Impl;

private:
    explicit X11WindowSystem(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};
