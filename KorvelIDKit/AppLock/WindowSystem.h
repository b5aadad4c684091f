#pragma once
// What the app lock needs from the desktop's window system: which application is in front, when
// that changes, when an application is gone, and hiding and activating applications. Applications
// are named by their application ID (a desktop-entry ID without ".desktop"). The X11, sway, KWin
// and GNOME Shell adapters live in Platform/; tests script their own.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

// This program's own application ID. Its own windows (curtains, settings) are reported under it.
inline constexpr const char* ownApplicationID = "com.korvel.id";

// One running instance of an application: the windows of one process (or, when the process is
// unknown, every window of the application whose process is unknown).
struct RunningApplication {
    std::string applicationID;
    std::int64_t pid = 0;  // 0 when the window system could not tell
    friend bool operator==(const RunningApplication&, const RunningApplication&) = default;
};

// Whether the app lock can see and control other applications' windows, and if not, why.
enum class WindowControl {
    available,
    waylandSession,   // native Wayland windows are invisible to an X11 client
    noDisplay,        // no X server could be reached
    noWindowManager,  // no window manager that publishes the active window (EWMH)
    gnomeExtensionMissing,  // GNOME Shell without Korvel ID's extension enabled
};

// How the app lock reaches the desktop's windows; the App Lock page names it.
enum class WindowIntegration { none, x11, sway, kwin, gnomeShell };

// One window of a lock curtain, for window systems where the program cannot place its own windows
// (Wayland: no client chooses its output, stays above others or keeps the focus). It is found among
// this program's windows by its title.
struct CurtainWindow {
    std::string title;
    std::string output;  // the screen's name as the compositor knows it
    bool key = false;    // the window that takes the keyboard
    friend bool operator==(const CurtainWindow&, const CurtainWindow&) = default;
};

class WindowSystem {
public:
    using ApplicationHandler = std::function<void(const std::string& applicationID)>;
    using SubscriptionID = int;

    virtual ~WindowSystem() = default;

    // The application of the active window; none when no window is active or its application is
    // unknown.
    virtual std::optional<std::string> frontmostApplicationID() = 0;

    // Running applications in the window system's order: the one owning the topmost window first.
    virtual std::vector<RunningApplication> runningApplications() = 0;
    std::vector<RunningApplication> runningApplications(const std::string& applicationID);

    // Iconifies every top-level window of the instance.
    virtual void hide(const RunningApplication& app) = 0;
    // Brings back the windows of the instance that hide() iconified (the most recent one is then
    // activated separately).
    virtual void restore(const RunningApplication&) {}
    // Asks the window manager to activate the instance's most recently active window.
    virtual void activate(const RunningApplication& app) = 0;

    // The application ID of the desktop's default file manager, if one is configured.
    virtual std::optional<std::string> defaultFileManagerID() = 0;

    virtual WindowControl windowControl() = 0;

    // Keeps this program's own full-screen windows (a curtain) mapped, above every other window and
    // at their frames while other clients unmap, lower, move or resize them, or map windows above
    // them. `disturbed` is called after a repair (true), or when a window could not be repaired
    // (false). A new call replaces the set; an empty set ends guarding. False when this window
    // system cannot guard windows.
    struct GuardedWindow {
        std::uint64_t window = 0;  // the native window ID (QWidget::winId())
        int x = 0, y = 0, width = 0, height = 0;
    };
    virtual bool guardWindows(std::vector<GuardedWindow>, std::function<void(bool repaired)>) { return false; }
    // Looks again (a window manager may have started since).
    virtual void recheckWindowControl() {}
    virtual WindowIntegration integration() const { return WindowIntegration::none; }

    // Keeps these curtain windows full-screen on their outputs with the key one focused, and takes
    // the focus back whenever another window gets it, until called with an empty list. Where the
    // program places its own windows and grabs the keyboard (X11) there is nothing to do.
    virtual void guardCurtain(const std::vector<CurtainWindow>& windows) { (void)windows; }

    // An application came to the front (reported once per change of application, not per window).
    SubscriptionID subscribeActivations(ApplicationHandler handler);
    // An application's last window went away.
    SubscriptionID subscribeTerminations(ApplicationHandler handler);
    void unsubscribe(SubscriptionID id);
    std::size_t subscriptionCount() const { return activationHandlers_.size() + terminationHandlers_.size(); }

protected:
    void notifyActivated(const std::string& applicationID);
    void notifyTerminated(const std::string& applicationID);

private:
    void notify(const std::map<SubscriptionID, ApplicationHandler>& handlers, const std::string& applicationID);

    std::map<SubscriptionID, ApplicationHandler> activationHandlers_;
    std::map<SubscriptionID, ApplicationHandler> terminationHandlers_;
    SubscriptionID nextID_ = 1;
};

// Stands in when no window system was installed: nothing is ever in front and nothing can be
// controlled.
class UnavailableWindowSystem final : public WindowSystem {
public:
    std::optional<std::string> frontmostApplicationID() override { return std::nullopt; }
    std::vector<RunningApplication> runningApplications() override { return {}; }
    void hide(const RunningApplication&) override {}
    void activate(const RunningApplication&) override {}
    std::optional<std::string> defaultFileManagerID() override { return std::nullopt; }
    WindowControl windowControl() override { return WindowControl::noDisplay; }
};
