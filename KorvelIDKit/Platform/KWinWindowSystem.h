#pragma once
// The app lock's window system under KWin (KDE Plasma on Wayland). A script shipped with the
// program (kwin/korvel-applock.js) is loaded into KWin over D-Bus; it reports the window list and
// the active window to this program's own D-Bus object at every change, and holds a standing
// request for commands, which this side answers when there is something to do: minimise an
// application, activate a window, keep the curtain's windows above, full-screen and active. Only
// KWin's own bus connection is listened to. Main thread only.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AppLock/WindowSystem.h"

class KWinWindowSystem final : public WindowSystem {
public:
    struct Options {
        // Where desktop entries are read; none: the XDG data directories.
        std::optional<std::vector<std::filesystem::path>> applicationDirectories;
        int readyTimeoutMs = 3000;  // how long open() waits for the script's first report
        // How long the script's standing request is held when there is nothing to do. KWin's
        // D-Bus calls time out after 25 s. A script that does not ask again soon after an answer
        // was stopped or unloaded, and is loaded again.
        int standingRequestMs = 20'000;
    };

    // Never fails: without KWin on the session bus the result reports noWindowManager.
    static std::shared_ptr<KWinWindowSystem> open(Options options);
    static std::shared_ptr<KWinWindowSystem> open() { return open(Options{}); }
    // Whether this is a KDE Plasma session on Wayland.
    static bool isKWinWaylandSession();
    ~KWinWindowSystem() override;

    std::optional<std::string> frontmostApplicationID() override;
    std::vector<RunningApplication> runningApplications() override;
    using WindowSystem::runningApplications;
    // Minimises the instance's windows.
    void hide(const RunningApplication& app) override;
    void activate(const RunningApplication& app) override;
    std::optional<std::string> defaultFileManagerID() override;
    WindowControl windowControl() override;
    // Loads the script again when KWin lost it (restarted, or the script was stopped).
    void recheckWindowControl() override;
    WindowIntegration integration() const override { return WindowIntegration::kwin; }
    void guardCurtain(const std::vector<CurtainWindow>& windows) override;

    // How often the curtain was put back after another window was activated (tests, benchmark).
    int curtainRestorations() const;
    // Whether KWin's active window is the curtain's key window (tests, benchmark).
    bool curtainKeyActive() const;
    // How often the script was loaded; the loaded one is named "korvel-id-applock-<pid>-<this>".
    int scriptLoads() const;

    struct Impl;

private:
    explicit KWinWindowSystem(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};
