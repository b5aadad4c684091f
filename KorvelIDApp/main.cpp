// Korvel ID: one instance per user session, holding its data folder for the whole run.
#include <QApplication>
#include <QIcon>
#include <QLabel>

#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "AppLock/AppLockView.h"
#include "AppLock/KorvelIDAppLock.h"
#include "Auth/PasswordDialogPrompt.h"
#include "Common/AppIcon.h"
#include "Curtain/CurtainPanel.h"  // LockCurtainWindow.h holds QPointer<CurtainPanel>
#include "Curtain/LockCurtainWindow.h"
#include "Enrollment/EnrollmentWindowController.h"
#include "Identity/InstalledModels.h"
#include "Identity/KorvelID.h"
#include "Identity/KorvelIDAuth.h"
#include "Identity/KorvelIDController.h"
#include "Identity/KorvelIDSettings.h"
#include "Platform/SecretStores.h"
#include "Platform/X11WindowSystem.h"
#include "ScanDisplay/NotchWindowController.h"
#include "Shell/AppDelegate.h"
#include "Shell/AppInfo.h"
#include "Shell/AppLog.h"
#include "Shell/AppState.h"
#include "Shell/ShellServices.h"
#include "Shell/SingleInstance.h"
#include "Support/AppPaths.h"
#include "Support/DataFolderLock.h"
#include "Support/FileIO.h"
#include "Vault/KorvelIDVault.h"
#include "Vault/SerialWorker.h"
#include "Vault/VaultAccess.h"

namespace fs = std::filesystem;

namespace {
// Key material and decrypted files live in this process's memory: no core files, and no other
// process of the same user may attach to it or read its memory.
void hardenProcess() {
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

// The identity controller, the authentication prompts, the app lock and the vault, wired together.
void installServices(SecretStore::Kind secretStore) {
    KorvelIDController::setScanDisplayFactory([] { return std::make_unique<NotchWindowController>(); });
    KorvelIDController::setEnrollmentPresenterFactory(EnrollmentWindowController::factory());
    KorvelIDAuth::setPasswordPrompt(std::make_shared<PasswordDialogPrompt>());
    KorvelIDVault::setAuthenticator(KorvelIDAuth::vaultAuthenticator());
    KorvelIDAppLock::setWindowSystem(X11WindowSystem::open());
    KorvelIDAppLock::setCurtainFactory([](const ProtectedApp& app, std::function<void()> onUnlocked,
                                          std::function<void()> onCancelled) -> std::unique_ptr<LockCurtain> {
        return std::make_unique<LockCurtainWindow>(app, std::move(onUnlocked), std::move(onCancelled));
    });

    ShellServices& s = ShellServices::shared();
    s.isEnrolled = [] { return KorvelID::isEnrolled(); };
    s.enrolledCount = [] { return static_cast<int>(KorvelID::enrolledNames().size()); };
    s.presentEnrollment = [](std::function<void()> onFinished) { KorvelID::presentEnrollment(std::move(onFinished)); };
    s.resetFaces = [] { KorvelID::reset(); };
    s.requireLiveness = [] { return KorvelIDSettings::requireLiveness(); };
    s.setRequireLiveness = [](bool on) { KorvelIDSettings::setRequireLiveness(on); };
    s.authenticate = [](const std::string& reason, bool fallback) { return KorvelIDAuth::authenticate(reason, fallback); };
    s.hasProtectedApps = [] { return !KorvelIDAppLock::protectedApps().empty(); };
    s.startMonitoring = [] { KorvelIDAppLock::startMonitoring(); };
    s.makeAppLockPage = [] { return new AppLockView; };
    s.secretStoreKind = [secretStore] { return secretStore; };
    s.secretStoreConflictFile = [] {
        const auto conflict = secretStoreConflict();
        return conflict ? std::optional<std::string>(conflict->file.string()) : std::nullopt;
    };
}
}  // namespace

int main(int argc, char** argv) {
    // Answered before any display is needed (packaging checks, scripts).
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("Korvel ID %s (%s)\n", qPrintable(AppInfo::version()), qPrintable(AppInfo::build()));
        return 0;
    }
    hardenProcess();
    InstalledModels::use();
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("KorvelID");
    QCoreApplication::setApplicationName("Korvel ID");
    QGuiApplication::setDesktopFileName("com.korvel.id");
    QGuiApplication::setWindowIcon(AppIcon::icon());
    AppPaths::setApplicationIdentifier("com.korvel.id");

    SingleInstance instance;
    if (instance.claim() == SingleInstance::Claim::activated) return 0;

    const fs::path dataFolder = AppPaths::supportDirectory();
    auto folder = DataFolderLock::tryAcquire(dataFolder);
    if (!folder.lock) {
        if (folder.holder) std::fprintf(stderr, "Korvel ID is already running (process %d).\n", int(*folder.holder));
        else std::fprintf(stderr, "Korvel ID cannot use its data folder %s: %s\n", dataFolder.c_str(), folder.error.c_str());
        return 1;
    }

    installServices(installDefaultSecretStore());
    // Half-written files of a run that died mid-write (settings, faces, protected apps), and the
    // vault's decrypted copies and temporaries of a run that ended without locking it.
    removeAtomicWriteLeftovers(dataFolder);
    VaultAccess::worker().post([] { KorvelIDVault::removeLeftoverCopies(); });

    AppDelegate delegate(AppState::shared());
    QObject::connect(&instance, &SingleInstance::activationRequested, &delegate, &AppDelegate::reopen);
    delegate.start();
    const int status = app.exec();
    // Deletes every decrypted copy still open, after the vault work still queued.
    VaultAccess::shutDown();
    AppLog::app().info("Korvel ID quit.");
    return status;
}
