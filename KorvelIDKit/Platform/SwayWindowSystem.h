#pragma once
// The app lock's window system under sway (and other compositors that speak i3's IPC). One IPC
// connection is subscribed to window and workspace events, watched by a socket notifier on the Qt
// main thread's event loop; another sends commands and reads the tree. Windows are named by their
// Wayland app_id (or, for XWayland windows, their X11 class) through the desktop entries, with the
// client PID sway reports. While a curtain is up its windows are kept full-screen on their outputs
// and the key window focused: any other focus, a workspace switch or a lost full-screen state is
// undone at once, which stands in for the keyboard grab Wayland does not offer. Main thread only.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AppLock/WindowSystem.h"

class SwayWindowSystem final : public WindowSystem {
public:
    struct Options {
        std::string socketPath;  // empty: $SWAYSOCK, else $I3SOCK
        // Where desktop entries are read; none: the XDG data directories.
        std::optional<std::vector<std::filesystem::path>> applicationDirectories;
    };

    // Never fails: without a reachable socket the result reports noDisplay and sees nothing.
    static std::shared_ptr<SwayWindowSystem> open(Options options);
    static std::shared_ptr<SwayWindowSystem> open() { return open(Options{}); }
    // Whether this session is run by sway (its socket is named in the environment).
    static bool isSwaySession();
    ~SwayWindowSystem() override;

    std::optional<std::string> frontmostApplicationID() override;
    std::vector<RunningApplication> runningApplications() override;
    using WindowSystem::runningApplications;
    // Moves the instance's windows to the scratchpad: sway has no iconified state.
    void hide(const RunningApplication& app) override;
    void activate(const RunningApplication& app) override;
    std::optional<std::string> defaultFileManagerID() override;
    WindowControl windowControl() override;
    void recheckWindowControl() override;
    WindowIntegration integration() const override { return WindowIntegration::sway; }
    void guardCurtain(const std::vector<CurtainWindow>& windows) override;

    // How often the curtain was put back (tests and the benchmark).
    int curtainRestorations() const;

    struct Impl;

private:
    explicit SwayWindowSystem(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};
