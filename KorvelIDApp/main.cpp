// Korvel ID: one instance per user session, holding its data folder for the whole run.
#include <QApplication>
#include <QIcon>
#include <QLabel>
#include <QSettings>

#include <sys/prctl.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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
#include "Localization/Localization.h"
#include "Platform/CameraDevices.h"
#include "Platform/SecretStores.h"
#include "Platform/SessionWindowSystem.h"
#include "Platform/VideoFileSource.h"
#include "ScanDisplay/NotchWindowController.h"
#include "Shell/AppDelegate.h"
#include "Shell/AppInfo.h"
#include "Shell/AppLog.h"
#include "Shell/AppState.h"
#include "Shell/LaunchAtLogin.h"
#include "Shell/QtTexts.h"
#include "Shell/SessionLockWatcher.h"
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

struct Options {
    bool trayOnly = false;
    std::optional<std::string> cameraVideo;
};

constexpr const char* usage =
    "Usage: korvel-id [--tray] [--camera-video FILE]\n"
    "  --tray               started at login: stay in the system tray when there is one\n"
    "  --camera-video FILE  play a recorded video (looped, in real time) as the camera;\n"
    "                       also KORVEL_CAMERA_VIDEO=FILE\n";

// Exits with a usage message on anything it does not know.
Options parseOptions(int argc, char** argv) {
    Options o;
    if (const char* video = std::getenv("KORVEL_CAMERA_VIDEO"); video && *video) o.cameraVideo = video;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == LaunchAtLogin::trayOption) {
            o.trayOnly = true;
        } else if (arg == "--camera-video" && i + 1 < argc) {
            o.cameraVideo = argv[++i];
        } else {
            std::fputs(usage, arg == "--help" ? stdout : stderr);
            std::exit(arg == "--help" ? 0 : 2);
        }
    }
    if (o.cameraVideo && !fs::is_regular_file(*o.cameraVideo)) {
        std::fprintf(stderr, "Korvel ID cannot read the video %s.\n", o.cameraVideo->c_str());
        std::exit(2);
    }
    return o;
}

// The camera: a recorded video when asked for (demos, tests, people without a camera), else the
// V4L2 camera chosen in the General page ("com.korvel.id.camera": N of /dev/videoN), else the first.
void installCamera(const std::optional<std::string>& video) {
    ShellServices& s = ShellServices::shared();
    if (video) {
        KorvelIDController::setFrameSourceFactory(VideoFileSource::factory(*video, {.loop = true}));
        KorvelIDController::configure({{}, {}, [] { return CameraAccess::granted; }});
        const std::string name = fs::path(*video).filename().string();
        s.cameras = [name] { return std::vector<std::string>{name}; };
        s.chosenCamera = [] { return 0; };
        s.chooseCamera = [](int, const std::string&) {};
        return;
    }
    static const QString key = QStringLiteral("com.korvel.id.camera");
    const auto useDevice = [](std::optional<int> index) {
        KorvelIDController::setFrameSourceFactory(V4L2FrameSource::factory("/dev", index));
        KorvelIDController::configure({});
    };
    if (QSettings().contains(key)) useDevice(QSettings().value(key).toInt());
    s.chosenCamera = [] {
        const auto devices = CameraDevices::discover().devices;
        const int chosen = QSettings().value(key, -1).toInt();
        for (std::size_t i = 0; i < devices.size(); ++i)
            if (devices[i].index == chosen) return static_cast<int>(i);
        // The first device serves when none was chosen; a chosen one that is gone matches none.
        return chosen < 0 ? 0 : -1;
    };
    s.chooseCamera = [useDevice](int position, const std::string& name) {
        const auto devices = CameraDevices::discover().devices;
        // The list may have changed since it was shown (a camera unplugged): only the device that
        // was approved is taken.
        if (position < 0 || position >= static_cast<int>(devices.size()) ||
            devices[static_cast<std::size_t>(position)].name != name)
            return;
        const int index = devices[static_cast<std::size_t>(position)].index;
        QSettings().setValue(key, index);
        useDevice(index);
    };
}

// The identity controller, the authentication prompts, the app lock and the vault, wired together.
void installServices(SecretStore::Kind secretStore) {
    KorvelIDController::setScanDisplayFactory([] { return std::make_unique<NotchWindowController>(); });
    KorvelIDController::setEnrollmentPresenterFactory(EnrollmentWindowController::factory());
    KorvelIDAuth::setPasswordPrompt(std::make_shared<PasswordDialogPrompt>());
    KorvelIDVault::setAuthenticator(KorvelIDAuth::vaultAuthenticator());
    KorvelIDAppLock::setWindowSystem(openSessionWindowSystem());
    KorvelIDAppLock::setCurtainFactory(LockCurtainWindow::factory());

    ShellServices& s = ShellServices::shared();
    s.isEnrolled = [] { return KorvelID::isEnrolled(); };
    s.enrolledCount = [] { return static_cast<int>(KorvelID::enrolledNames().size()); };
    s.presentEnrollment = [](std::function<void()> onFinished) { KorvelID::presentEnrollment(std::move(onFinished)); };
    s.resetFaces = [] { return KorvelID::reset(); };
    s.requireLiveness = [] { return KorvelIDSettings::requireLiveness(); };
    s.setRequireLiveness = [](bool on) { KorvelIDSettings::setRequireLiveness(on); };
    s.authenticate = [](const std::string& reason, bool fallback) { return KorvelIDAuth::authenticate(reason, fallback); };
    s.hasProtectedApps = [] { return KorvelIDAppLock::mayProtectApps(); };
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
    const Options options = parseOptions(argc, argv);
    hardenProcess();
    InstalledModels::use();
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("KorvelID");
    QCoreApplication::setApplicationName("Korvel ID");
    QGuiApplication::setDesktopFileName("com.korvel.id");
    QGuiApplication::setWindowIcon(AppIcon::icon());
    AppPaths::setApplicationIdentifier("com.korvel.id");

    const fs::path dataFolder = AppPaths::supportDirectory();
    SingleInstance instance;
    // The name proves nothing by itself: a running Korvel ID also holds the data folder.
    const auto claim = instance.claim([&](std::optional<pid_t> owner) {
        const auto holder = DataFolderLock::holder(dataFolder);
        return holder && (!owner || *holder == 0 || *holder == *owner);
    });
    if (claim == SingleInstance::Claim::activated) return 0;
    if (claim == SingleInstance::Claim::foreign) {
        const std::string who = instance.ownerPid() ? "process " + std::to_string(*instance.ownerPid()) : "another process";
        std::fprintf(stderr,
                     "Korvel ID cannot start: %s holds the session-bus name %s but is not Korvel ID (it does not "
                     "hold the data folder %s). Quit that process, then start Korvel ID again.\n",
                     who.c_str(), SingleInstance::defaultServiceName, dataFolder.c_str());
        AppLog::app().error("The session-bus name is held by " + who + ", which does not hold the data folder; not starting.");
        return 1;
    }
    auto folder = DataFolderLock::tryAcquire(dataFolder);
    if (!folder.lock) {
        if (folder.holder) std::fprintf(stderr, "Korvel ID is already running (process %d).\n", int(*folder.holder));
        else std::fprintf(stderr, "Korvel ID cannot use its data folder %s: %s\n", dataFolder.c_str(), folder.error.c_str());
        return 1;
    }

    installServices(installDefaultSecretStore());
    installCamera(options.cameraVideo);
    followLanguageInQtTexts();
    // Half-written files of a run that died mid-write (settings, faces, protected apps), and the
    // vault's decrypted copies and temporaries of a run that ended without locking it.
    removeAtomicWriteLeftovers(dataFolder);
    VaultAccess::worker().post([] { KorvelIDVault::removeLeftoverCopies(); });
    // The vault does not outlast the screen being locked.
    SessionLockWatcher sessionLock;
    QObject::connect(&sessionLock, &SessionLockWatcher::sessionLocked, [] { VaultAccess::lockForSessionLock(); });

    // The app lock's curtains hold windows, grabs and a display connection: they go while the
    // application and its display still exist (a signal or log-out with a curtain up ends here).
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [] { KorvelIDAppLock::shutDown(); });
    AppDelegate delegate(AppState::shared());
    QObject::connect(&instance, &SingleInstance::activationRequested, &delegate, &AppDelegate::reopen);
    delegate.start(options.trayOnly);
    const int status = app.exec();
    // Deletes every decrypted copy still open, after the vault work still queued.
    VaultAccess::shutDown();
    AppLog::app().info("Korvel ID quit.");
    return status;
}
