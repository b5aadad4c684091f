#pragma once
// What the app lock needs from the desktop's window system: which application is in front, when
// that changes, when an application is gone, and hiding and activating applications. Applications
// are named by their application ID (a desktop-entry ID without ".desktop"). The X11 adapter lives
// in Platform/; tests script their own.
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
    // Asks the window manager to activate the instance's most recently active window.
    virtual void activate(const RunningApplication& app) = 0;

    // The application ID of the desktop's default file manager, if one is configured.
    virtual std::optional<std::string> defaultFileManagerID() = 0;

    virtual WindowControl windowControl() = 0;
    // Looks again (a window manager may have started since).
    virtual void recheckWindowControl() {}

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
