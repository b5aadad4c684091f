#include "Shell/ShellServices.h"

#include <QLabel>

#include "Face/FaceStore.h"
#include "Face/Settings.h"
#include "Platform/CameraDevices.h"
#include "Support/AppPaths.h"
#include "Support/Async.h"

namespace {
int storedProfiles() {
    FaceStore store(AppPaths::supportDirectory() / FaceStore::fileName);
    return static_cast<int>(store.profiles.size());
}
}  // namespace

ShellServices ShellServices::defaults() {
    ShellServices s;
    s.isEnrolled = [] { return storedProfiles() > 0; };
    s.enrolledCount = [] { return storedProfiles(); };
    s.presentEnrollment = [](std::function<void()> onFinished) {
        if (onFinished) onFinished();
    };
    s.resetFaces = [] {
        FaceStore store(AppPaths::supportDirectory() / FaceStore::fileName);
        store.profiles.clear();
        return store.save();
    };
    s.requireLiveness = [] { return Settings::load().livenessRequired(); };
    s.setRequireLiveness = [](bool on) {
        Settings::change(Settings::defaultFile(), [on](Settings& settings) { settings.requireLiveness = on; });
    };
    s.authenticate = [](const std::string&, bool) { return Async::ready(VaultAuthenticator::Result::cancelled()); };
    s.hasProtectedApps = [] { return false; };
    s.startMonitoring = [] {};
    s.makeAppLockPage = [] { return new QLabel; };
    s.secretStoreKind = [] { return SecretStore::shared() ? SecretStore::shared()->kind() : SecretStore::Kind::unavailable; };
    s.secretStoreConflictFile = [] { return std::optional<std::string>(); };
    s.cameras = [] {
        std::vector<std::string> names;
        for (const auto& device : CameraDevices::discover().devices) names.push_back(device.name);
        return names;
    };
    s.chosenCamera = [] { return 0; };
    s.chooseCamera = [](int, const std::string&) {};
    s.showAbout = [] {};
    s.requestQuit = [] {};
    return s;
}

ShellServices& ShellServices::shared() {
    static ShellServices services = defaults();
    return services;
}
