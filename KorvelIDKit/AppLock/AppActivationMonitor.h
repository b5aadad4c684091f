#pragma once
// Watches which application is in front and decides, each time that changes, whether it must be
// locked; keeps the grace state of recent unlocks. Runs on the main thread: window-system events
// and a 0.35 s poll of the frontmost application (the poll catches changes no event reported, and
// as a Qt timer it also fires inside modal dialogs and menus).
#include <QTimer>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "AppLock/ProtectedAppsStore.h"
#include "AppLock/WindowSystem.h"

class AppActivationMonitor {
public:
    using TimePoint = std::chrono::system_clock::time_point;
    using Clock = std::function<TimePoint()>;
    static constexpr std::chrono::milliseconds pollInterval{350};
    static constexpr int pollsOfNothingEndingGrace = 3;  // about a second with nothing in front

    // Subscribes to nothing until start(). `clock` is the wall clock that timed grace is measured on.
    AppActivationMonitor(ProtectedAppsStore& store, WindowSystem& windows, std::string ownBundleID = ownApplicationID,
                         Clock clock = [] { return std::chrono::system_clock::now(); });
    ~AppActivationMonitor();
    AppActivationMonitor(const AppActivationMonitor&) = delete;
    AppActivationMonitor& operator=(const AppActivationMonitor&) = delete;

    // Subscribes to activations and terminations and starts the poll; the application in front at
    // this moment is not judged. A second start() does nothing.
    void start();
    // Ends subscriptions and the poll; grace state and the last frontmost application stay.
    void stop();
    bool isRunning() const { return observer_.has_value(); }
    bool isPolling() const { return pollTimer_.isActive(); }

    // Records a successful unlock by the application's grace: negative until it quits, 0 while it
    // stays in front, n > 0 for n seconds.
    void markUnlocked(const ProtectedApp& app);
    // Judges the application in front now, even when it has not changed.
    void reevaluateFrontmost();
    void clearGrace(const std::string& bundleID);

    // Whether the application's grace spares it now (the decision's grace rules without the list).
    bool isUnlocked(const std::string& bundleID) const;

    std::function<void(const ProtectedApp&)> onShouldLock;
    // An every-time unlock ended because another application came to the front, or nothing stayed
    // in front.
    std::function<void(const std::string& bundleID)> onGraceEnded;

    const std::optional<std::string>& lastFrontmost() const { return lastFrontmost_; }
    const std::string& ownBundleID() const { return ownBundleID_; }

private:
    void handleActivation(const std::string& bundleID);
    void handleTermination(const std::string& bundleID);
    void pollFrontmost();
    void handleFrontmostChange(const std::optional<std::string>& bundleID);
    void evaluate(const std::string& bundleID);
    void endEveryTimeGraces(const std::string& except);

    ProtectedAppsStore& store_;
    WindowSystem& windows_;
    std::string ownBundleID_;
    Clock clock_;

    std::map<std::string, TimePoint> unlockedUntil_;
    std::set<std::string> unlockedUntilQuit_;
    std::set<std::string> unlockedWhileFrontmost_;

    std::optional<WindowSystem::SubscriptionID> observer_;
    std::optional<WindowSystem::SubscriptionID> terminateObserver_;
    QTimer pollTimer_;  // lives as long as the monitor, so a tick can never outlive it
    std::optional<std::string> lastFrontmost_;
    int polledNothing_ = 0;  // polls in a row with nothing in front
    // Handlers hold this weakly: an event or tick that arrives after the monitor is gone does nothing.
    std::shared_ptr<AppActivationMonitor*> self_;
};
