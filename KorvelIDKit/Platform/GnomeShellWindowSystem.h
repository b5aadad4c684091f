#pragma once
// The app lock's window system under GNOME Shell 43 and 44 (45 and later load only extensions
// written as ES modules, which the shipped one is not yet). On Wayland the Shell shows no client
// which window is in front and lets none stay above the others, so Korvel ID ships a Shell
// extension (KorvelIDGnomeShell/) that does both over the session bus: this adapter subscribes to
// it, receives its focus and close reports as calls on its own object, asks it for the windows in
// stacking order, and has it keep the curtain windows above, full-screen, on their monitors and
// focused while they are up. The protected application's windows are minimised while it is locked.
// Main thread only.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AppLock/WindowSystem.h"

class GnomeShellWindowSystem final : public WindowSystem {
public:
    static constexpr const char* extensionUUID = "korvel-id@id.korvel.com";

    struct Options {
        // Where desktop entries are read; none: the XDG data directories.
        std::optional<std::vector<std::filesystem::path>> applicationDirectories;
    };

    // Never fails: without the extension the result reports gnomeExtensionMissing.
    static std::shared_ptr<GnomeShellWindowSystem> open(Options options);
    static std::shared_ptr<GnomeShellWindowSystem> open() { return open(Options{}); }
    // Whether this session's desktop is GNOME ($XDG_CURRENT_DESKTOP).
    static bool isGnomeSession();
    // Copies the shipped extension into dataHome/gnome-shell/extensions (the user's data folder when
    // empty), replacing an older copy; the Shell finds it there at its next start. False when it
    // could not be written (a link in the way, no space).
    static bool installExtension(const std::filesystem::path& dataHome = {});
    ~GnomeShellWindowSystem() override;

    std::optional<std::string> frontmostApplicationID() override;
    std::vector<RunningApplication> runningApplications() override;
    using WindowSystem::runningApplications;
    void hide(const RunningApplication& app) override;
    void activate(const RunningApplication& app) override;
    std::optional<std::string> defaultFileManagerID() override;
    WindowControl windowControl() override;
    void recheckWindowControl() override;
    WindowIntegration integration() const override { return WindowIntegration::gnomeShell; }
    void guardCurtain(const std::vector<CurtainWindow>& windows) override;

    struct Impl;

private:
    explicit GnomeShellWindowSystem(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};
