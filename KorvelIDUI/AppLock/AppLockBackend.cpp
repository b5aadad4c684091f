#include "AppLock/AppLockBackend.h"

#include "AppLock/KorvelIDAppLock.h"

namespace {
class FacadeBackend final : public AppLockBackend {
public:
    std::vector<ProtectedApp> protectedApps() const override { return KorvelIDAppLock::protectedApps(); }
    bool isListSaved() const override { return KorvelIDAppLock::isListSaved(); }
    void add(const ProtectedApp& app) override { KorvelIDAppLock::add(app); }
    void remove(const std::string& bundleID) override { KorvelIDAppLock::remove(bundleID); }
    void setGrace(std::int64_t seconds, const std::string& bundleID) override {
        KorvelIDAppLock::setGrace(seconds, bundleID);
    }
    WindowControl windowControl() const override { return KorvelIDAppLock::windowControl(); }
    void requestWindowControl() override { KorvelIDAppLock::requestAccessibilityPermission(); }
    WindowIntegration integration() const override { return KorvelIDAppLock::shared().windowSystem().integration(); }
    bool keepsLockedAppsIconified() const override { return KorvelIDAppLock::keepsLockedAppsIconified(); }
    void setKeepsLockedAppsIconified(bool on) override { KorvelIDAppLock::setKeepsLockedAppsIconified(on); }
};
}  // namespace

std::shared_ptr<AppLockBackend> facadeAppLockBackend() { return std::make_shared<FacadeBackend>(); }
