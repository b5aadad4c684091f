#include "AppActivationMonitor.h"

#include <iterator>
#include <vector>

AppActivationMonitor::AppActivationMonitor(ProtectedAppsStore& store, WindowSystem& windows, std::string ownBundleID,
                                           Clock clock)
    : store_(store), windows_(windows), ownBundleID_(std::move(ownBundleID)), clock_(std::move(clock)),
      self_(std::make_shared<AppActivationMonitor*>(this)) {
    pollTimer_.setInterval(pollInterval);
    std::weak_ptr<AppActivationMonitor*> weak = self_;
    QObject::connect(&pollTimer_, &QTimer::timeout, [weak] {
        if (const auto self = weak.lock()) (*self)->pollFrontmost();
    });
}

AppActivationMonitor::~AppActivationMonitor() { stop(); }

void AppActivationMonitor::start() {
    if (observer_) return;
    std::weak_ptr<AppActivationMonitor*> weak = self_;
    observer_ = windows_.subscribeActivations([weak](const std::string& id) {
        if (const auto self = weak.lock()) (*self)->handleActivation(id);
    });
    lastFrontmost_ = windows_.frontmostApplicationID();
    pollTimer_.start();
    terminateObserver_ = windows_.subscribeTerminations([weak](const std::string& id) {
        if (const auto self = weak.lock()) (*self)->handleTermination(id);
    });
}

void AppActivationMonitor::stop() {
    pollTimer_.stop();
    if (observer_) windows_.unsubscribe(*observer_);
    if (terminateObserver_) windows_.unsubscribe(*terminateObserver_);
    observer_.reset();
    terminateObserver_.reset();
}

void AppActivationMonitor::markUnlocked(const ProtectedApp& app) {
    const auto& id = app.bundleIdentifier;
    if (app.graceSeconds < 0) {
        unlockedUntilQuit_.insert(id);
        unlockedUntil_.erase(id);
    } else if (app.graceSeconds == 0) {
        unlockedWhileFrontmost_.insert(id);
        unlockedUntil_.erase(id);
    } else {
        unlockedUntil_[id] = clock_() + std::chrono::seconds(app.graceSeconds);
    }
}

void AppActivationMonitor::reevaluateFrontmost() { handleFrontmostChange(windows_.frontmostApplicationID()); }

void AppActivationMonitor::clearGrace(const std::string& bundleID) {
    unlockedUntil_.erase(bundleID);
    unlockedUntilQuit_.erase(bundleID);
    unlockedWhileFrontmost_.erase(bundleID);
}

void AppActivationMonitor::handleActivation(const std::string& bundleID) {
    if (bundleID.empty()) return;
    handleFrontmostChange(bundleID);
}

void AppActivationMonitor::handleTermination(const std::string& bundleID) {
    if (bundleID.empty()) return;
    clearGrace(bundleID);
}

void AppActivationMonitor::pollFrontmost() {
    const auto id = windows_.frontmostApplicationID();
    // Nothing in front poll after poll (the app minimised onto an empty desktop, the screen
    // locked) ends an every-time unlock as another application would, so bringing the app back
    // asks again; a window manager's switch passes through nothing only for a moment.
    if (id) polledNothing_ = 0;
    else if (++polledNothing_ == pollsOfNothingEndingGrace) endEveryTimeGraces({});
    if (id == lastFrontmost_) return;
    handleFrontmostChange(id);
}

void AppActivationMonitor::endEveryTimeGraces(const std::string& except) {
    std::vector<std::string> ended;
    std::erase_if(unlockedWhileFrontmost_, [&](const std::string& id) {
        if (id == except) return false;
        ended.push_back(id);
        return true;
    });
    if (onGraceEnded)
        for (const auto& id : ended) onGraceEnded(id);
}

void AppActivationMonitor::handleFrontmostChange(const std::optional<std::string>& bundleID) {
    lastFrontmost_ = bundleID;
    if (!bundleID || bundleID->empty()) return;
    // This program's own windows (a curtain, the settings) neither lock nor end every-time grace,
    // so coming back from them does not ask again.
    if (*bundleID == ownBundleID_) return;
    endEveryTimeGraces(*bundleID);
    evaluate(*bundleID);
}

bool AppActivationMonitor::isUnlocked(const std::string& bundleID) const {
    if (unlockedUntilQuit_.contains(bundleID) || unlockedWhileFrontmost_.contains(bundleID)) return true;
    // An expired instant stays in the map; it simply no longer counts.
    const auto it = unlockedUntil_.find(bundleID);
    return it != unlockedUntil_.end() && it->second > clock_();
}

void AppActivationMonitor::evaluate(const std::string& bundleID) {
    const auto app = store_.app(bundleID);
    if (!app || isUnlocked(bundleID)) return;
    if (onShouldLock) onShouldLock(*app);
}
