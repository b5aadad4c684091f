#pragma once
// The app lock: the protected list, the activation monitor and at most one curtain at a time.
// `KorvelIDAppLock` is the program's entry point (one shared instance, created on first use);
// `AppLockController` is that instance's type, built directly by tests with their own window
// system, file and clock. Main thread only.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AppLock/AppActivationMonitor.h"
#include "AppLock/LockCurtain.h"
#include "AppLock/ProtectedApp.h"
#include "AppLock/ProtectedAppsStore.h"
#include "AppLock/WindowSystem.h"

class AppLockController {
public:
    // The made-up application of the preview curtain.
    static constexpr const char* testCurtainID = "com.korvel.id.test";
    static constexpr const char* testCurtainName = "Test App";

    explicit AppLockController(std::shared_ptr<WindowSystem> windows,
                               std::optional<std::filesystem::path> storeFile = std::nullopt,
                               AppActivationMonitor::Clock clock = [] { return std::chrono::system_clock::now(); });
    ~AppLockController();
    AppLockController(const AppLockController&) = delete;
    AppLockController& operator=(const AppLockController&) = delete;

    // Installed by the user interface, which owns the curtain windows.
    void setCurtainFactory(LockCurtainFactory factory) { factory_ = std::move(factory); }

    // Starts the monitor once; a protected application already in front is judged at once.
    void startMonitoring();
    // Ends the monitor's subscriptions and poll; grace state and a curtain that is up stay.
    void stopMonitoring();
    bool isRunning() const { return isRunning_; }

    const std::vector<ProtectedApp>& protectedApps() const { return store_.apps(); }
    bool isListSaved() const { return store_.isSaved(); }
    // Whether anything may be protected: a list that could not be read may list any app, so
    // quitting without the password must not be offered for it.
    bool mayProtectApps() const { return !store_.apps().empty() || store_.loadFailed(); }
    bool isProtected(const std::string& bundleID) const { return store_.isProtected(bundleID); }
    // Lists the application and covers it at once if it is in front. This program never protects
    // itself.
    void add(const ProtectedApp& app);
    // Unlists it; its grace entries stay but no longer matter.
    void remove(const std::string& bundleID);
    // Changes the grace, ends the current unlock and covers the application at once if it is in front.
    void setGrace(std::int64_t seconds, const std::string& bundleID);

    // Whether other applications' windows can be watched and hidden (X11 with an EWMH window manager).
    bool hasAccessibilityPermission() { return windows_->windowControl() == WindowControl::available; }
    WindowControl windowControl() { return windows_->windowControl(); }
    // There is nothing to grant on X11: looks again whether window control works.
    void requestAccessibilityPermission() { windows_->recheckWindowControl(); }

    // Hardening against what a visible or clickable protected window gives away before its curtain
    // is up (its contents behind other windows, a click or a middle-click paste into it): while an
    // application is not unlocked its windows stay iconified (when protection starts, when its
    // every-time unlock ends, when its curtain goes up) and come back when it is unlocked.
    void setKeepsLockedAppsIconified(bool on);
    bool keepsLockedAppsIconified() const { return keepIconified_; }

    // Shows the preview curtain for "Test App" ("com.korvel.id.test", every-time grace).
    void presentTestCurtain();

    bool isCurtainUp() const { return currentCurtain_ != nullptr; }
    // For the end of the program: stops monitoring and takes down a curtain that is up, iconifying
    // its application (which the curtain no longer covers). Nothing reports an ending.
    void shutDown();
    ProtectedAppsStore& store() { return store_; }
    AppActivationMonitor& monitor() { return monitor_; }
    WindowSystem& windowSystem() { return *windows_; }

private:
    void presentCurtain(const ProtectedApp& app);
    void curtainUnlocked(std::uint64_t generation, const ProtectedApp& app);
    void curtainCancelled(std::uint64_t generation, const ProtectedApp& app);
    bool endCurtain(std::uint64_t generation);
    void reevaluateAfterCurtain();
    void lockIfFrontmost(const std::string& bundleID);
    void hideApp(const std::string& bundleID);
    void iconify(const std::string& bundleID);
    void iconifyLockedApps();

    std::shared_ptr<WindowSystem> windows_;
    ProtectedAppsStore store_;
    AppActivationMonitor monitor_;
    LockCurtainFactory factory_;
    std::unique_ptr<LockCurtain> currentCurtain_;
    ProtectedApp currentApp_;  // what the curtain that is up covers
    std::uint64_t curtainGeneration_ = 0;
    int presentDepth_ = 0;  // > 0 while a curtain's present() runs
    bool isRunning_ = false;
    bool keepIconified_ = false;
    std::shared_ptr<AppLockController*> self_;
};

namespace KorvelIDAppLock {
// Installs the window system of the shared instance; call before its first use (the application
// does so at start-up). Without one nothing is ever in front and window control is unavailable.
void setWindowSystem(std::shared_ptr<WindowSystem> windows);
void setCurtainFactory(LockCurtainFactory factory);

AppLockController& shared();

void startMonitoring();
void stopMonitoring();
std::vector<ProtectedApp> protectedApps();
bool isListSaved();
bool mayProtectApps();
bool isProtected(const std::string& bundleID);
void add(const ProtectedApp& app);
void remove(const std::string& bundleID);
void setGrace(std::int64_t seconds, const std::string& bundleID);
bool hasAccessibilityPermission();
WindowControl windowControl();
void requestAccessibilityPermission();
void presentTestCurtain();
bool isCurtainUp();
// The iconify hardening (AppLockController::setKeepsLockedAppsIconified), kept in the preferences.
static constexpr const char* keepIconifiedKey = "com.korvel.id.appLock.keepLockedAppsMinimized";
bool keepsLockedAppsIconified();
void setKeepsLockedAppsIconified(bool on);
// Takes the shared instance down (see AppLockController::shutDown) and releases the window system,
// while the application still runs; called when the program is about to quit.
void shutDown();
}  // namespace KorvelIDAppLock
