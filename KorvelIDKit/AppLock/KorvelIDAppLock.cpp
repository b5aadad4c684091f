#include "KorvelIDAppLock.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSettings>

#include "Support/Logger.h"

namespace {
// A curtain reports its ending from inside its own code (an animation's end, a key press), so it
// is destroyed on a later turn of the event loop, never inside that call.
void destroyLater(std::unique_ptr<LockCurtain> curtain) {
    if (!curtain) return;
    auto* app = QCoreApplication::instance();
    if (!app) return;  // no event loop will run again: the process is ending (leak deliberately)
    std::shared_ptr<LockCurtain> held(std::move(curtain));
    QMetaObject::invokeMethod(app, [held] {}, Qt::QueuedConnection);
}
}  // namespace

AppLockController::AppLockController(std::shared_ptr<WindowSystem> windows, std::optional<std::filesystem::path> storeFile,
                                     AppActivationMonitor::Clock clock)
    : windows_(windows ? std::move(windows) : std::make_shared<UnavailableWindowSystem>()),
      store_(std::move(storeFile)),
      monitor_(store_, *windows_, ownApplicationID, std::move(clock)),
      self_(std::make_shared<AppLockController*>(this)) {}

AppLockController::~AppLockController() { monitor_.stop(); }

void AppLockController::startMonitoring() {
    if (isRunning_) return;
    isRunning_ = true;
    std::weak_ptr<AppLockController*> weak = self_;
    monitor_.onShouldLock = [weak](const ProtectedApp& app) {
        if (const auto self = weak.lock()) (*self)->presentCurtain(app);
    };
    monitor_.onGraceEnded = [weak](const std::string& id) {
        if (const auto self = weak.lock(); self && (*self)->keepIconified_) (*self)->iconify(id);
    };
    monitor_.start();
    if (keepIconified_) iconifyLockedApps();
    // The monitor judges only changes of the front application; one that is protected and already
    // in front when protection starts must not stay usable until the user switches away.
    monitor_.reevaluateFrontmost();
}

void AppLockController::stopMonitoring() {
    isRunning_ = false;
    monitor_.stop();
}

void AppLockController::add(const ProtectedApp& app) {
    if (isOwnApplicationID(app.bundleIdentifier)) return;
    store_.add(app);
    lockIfFrontmost(app.bundleIdentifier);
}

void AppLockController::remove(const std::string& bundleID) { store_.remove(bundleID); }

void AppLockController::setGrace(std::int64_t seconds, const std::string& bundleID) {
    store_.setGrace(seconds, bundleID);
    monitor_.clearGrace(bundleID);
    lockIfFrontmost(bundleID);
}

void AppLockController::setKeepsLockedAppsIconified(bool on) {
    if (on == keepIconified_) return;
    keepIconified_ = on;
    if (on && isRunning_) iconifyLockedApps();
}

// Every protected application that is running and not unlocked, except the one in front, which
// the monitor judges (its curtain iconifies it).
void AppLockController::iconifyLockedApps() {
    const auto front = windows_->frontmostApplicationID();
    for (const auto& app : store_.apps())
        if (app.bundleIdentifier != front && !monitor_.isUnlocked(app.bundleIdentifier)) iconify(app.bundleIdentifier);
}

void AppLockController::iconify(const std::string& bundleID) {
    if (!store_.isProtected(bundleID)) return;
    for (const auto& instance : windows_->runningApplications(bundleID)) windows_->hide(instance);
}

void AppLockController::presentTestCurtain() { presentCurtain({testCurtainID, testCurtainName, 0}); }

void AppLockController::presentCurtain(const ProtectedApp& app) {
    if (currentCurtain_) return;  // one at a time; the re-evaluation when it ends catches the rest
    const std::uint64_t generation = ++curtainGeneration_;
    std::weak_ptr<AppLockController*> weak = self_;
    std::unique_ptr<LockCurtain> curtain;
    if (factory_) {
        curtain = factory_(
            app, *windows_,
            [weak, generation, app] {
                if (const auto self = weak.lock()) (*self)->curtainUnlocked(generation, app);
            },
            [weak, generation, app] {
                if (const auto self = weak.lock()) (*self)->curtainCancelled(generation, app);
            });
    }
    if (!curtain) {
        // Nothing can cover the application, and it must not stay usable: hide it as a cancelled
        // curtain would. No re-evaluation, which would only repeat this at once.
        Log::auth().error("AppLock: no curtain available for " + app.bundleIdentifier + "; hiding it.");
        hideApp(app.bundleIdentifier);
        return;
    }
    currentCurtain_ = std::move(curtain);
    currentApp_ = app;
    LockCurtain* presenting = currentCurtain_.get();
    ++presentDepth_;
    presenting->present();
    --presentDepth_;
    // Under its curtain, already: nothing of it shows or takes a key when the curtain ends.
    if (keepIconified_ && currentCurtain_.get() == presenting) iconify(app.bundleIdentifier);
}

void AppLockController::shutDown() {
    stopMonitoring();
    if (!currentCurtain_) return;
    ++curtainGeneration_;  // whatever the curtain still reports is stale
    currentCurtain_.reset();
    for (const auto& instance : windows_->runningApplications(currentApp_.bundleIdentifier)) windows_->hide(instance);
}

bool AppLockController::endCurtain(std::uint64_t generation) {
    // Only the ending of the curtain that is up counts, and only once.
    if (!currentCurtain_ || generation != curtainGeneration_) return false;
    destroyLater(std::move(currentCurtain_));
    return true;
}

void AppLockController::curtainUnlocked(std::uint64_t generation, const ProtectedApp& app) {
    if (!currentCurtain_ || generation != curtainGeneration_) return;
    monitor_.markUnlocked(app);
    endCurtain(generation);
    const auto instances = windows_->runningApplications(app.bundleIdentifier);
    if (keepIconified_)
        for (const auto& instance : instances) windows_->restore(instance);
    if (!instances.empty()) windows_->activate(instances.front());
    reevaluateAfterCurtain();
}

void AppLockController::curtainCancelled(std::uint64_t generation, const ProtectedApp& app) {
    if (!currentCurtain_ || generation != curtainGeneration_) return;
    hideApp(app.bundleIdentifier);
    endCurtain(generation);
    reevaluateAfterCurtain();
}

void AppLockController::reevaluateAfterCurtain() {
    if (presentDepth_ == 0) {
        monitor_.reevaluateFrontmost();
        return;
    }
    // The curtain ended inside its own present() (no screens): judging again right here would
    // present the next curtain from within the first one's call.
    std::weak_ptr<AppLockController*> weak = self_;
    if (auto* qapp = QCoreApplication::instance())
        QMetaObject::invokeMethod(qapp, [weak] {
            if (const auto self = weak.lock()) (*self)->monitor_.reevaluateFrontmost();
        }, Qt::QueuedConnection);
}

void AppLockController::lockIfFrontmost(const std::string& bundleID) {
    const auto front = windows_->frontmostApplicationID();
    if (!front || *front != bundleID) return;
    if (const auto app = store_.app(bundleID)) presentCurtain(*app);
}

void AppLockController::hideApp(const std::string& bundleID) {
    for (const auto& instance : windows_->runningApplications(bundleID)) windows_->hide(instance);
    const auto fileManager = windows_->defaultFileManagerID();
    // Bringing the file manager forward moves the user off the hidden application; when the hidden
    // application is the file manager itself, that would show it again at once.
    if (!fileManager || *fileManager == bundleID) return;
    for (const auto& running : windows_->runningApplications()) {
        if (running.applicationID == *fileManager) {
            windows_->activate(running);
            return;
        }
    }
}

namespace KorvelIDAppLock {
namespace {
std::shared_ptr<WindowSystem>& installedWindowSystem() {
    static std::shared_ptr<WindowSystem> windows;
    return windows;
}
LockCurtainFactory& installedFactory() {
    static LockCurtainFactory factory;
    return factory;
}
std::unique_ptr<AppLockController>& instance() {
    static std::unique_ptr<AppLockController> controller;
    return controller;
}
}  // namespace

void setWindowSystem(std::shared_ptr<WindowSystem> windows) {
    if (instance()) {
        Log::auth().error("AppLock: the window system must be installed before the app lock is first used.");
        return;
    }
    installedWindowSystem() = std::move(windows);
}

void setCurtainFactory(LockCurtainFactory factory) {
    installedFactory() = factory;
    if (instance()) instance()->setCurtainFactory(std::move(factory));
}

AppLockController& shared() {
    auto& controller = instance();
    if (!controller) {
        controller = std::make_unique<AppLockController>(installedWindowSystem());
        controller->setCurtainFactory(installedFactory());
        controller->setKeepsLockedAppsIconified(QSettings().value(keepIconifiedKey, false).toBool());
    }
    return *controller;
}

bool keepsLockedAppsIconified() { return shared().keepsLockedAppsIconified(); }

void setKeepsLockedAppsIconified(bool on) {
    QSettings().setValue(keepIconifiedKey, on);
    shared().setKeepsLockedAppsIconified(on);
}

void startMonitoring() { shared().startMonitoring(); }
void stopMonitoring() { shared().stopMonitoring(); }
std::vector<ProtectedApp> protectedApps() { return shared().protectedApps(); }
bool isListSaved() { return shared().isListSaved(); }
bool mayProtectApps() { return shared().mayProtectApps(); }
bool isProtected(const std::string& bundleID) { return shared().isProtected(bundleID); }
void add(const ProtectedApp& app) { shared().add(app); }
void remove(const std::string& bundleID) { shared().remove(bundleID); }
void setGrace(std::int64_t seconds, const std::string& bundleID) { shared().setGrace(seconds, bundleID); }
bool hasAccessibilityPermission() { return shared().hasAccessibilityPermission(); }
WindowControl windowControl() { return shared().windowControl(); }
void requestAccessibilityPermission() { shared().requestAccessibilityPermission(); }
void presentTestCurtain() { shared().presentTestCurtain(); }
bool isCurtainUp() { return instance() && instance()->isCurtainUp(); }

void shutDown() {
    if (instance()) instance()->shutDown();
    instance().reset();
    installedWindowSystem().reset();
}
}  // namespace KorvelIDAppLock
