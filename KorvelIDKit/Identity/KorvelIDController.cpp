#include "Identity/KorvelIDController.h"

#include <QFutureWatcher>
#include <QMetaObject>
#include <QPointer>
#include <QPromise>

#include <algorithm>
#include <atomic>
#include <utility>

#include "Face/FaceAttemptLimit.h"
#include "Face/FaceDetector.h"
#include "Face/FaceRecognizer.h"
#include "Localization/Localization.h"
#include "Platform/CameraDevices.h"
#include "Platform/CameraPermission.h"
#include "Support/Async.h"
#include "Support/AppPaths.h"
#include "Support/Logger.h"

namespace {

struct Globals {
    KorvelIDController::Options options;
    std::unique_ptr<KorvelIDController> shared;
    KorvelIDController::ScanDisplayFactory displayFactory;
    EnrollmentPresenterFactory presenterFactory;
    FrameSourceFactory frames;
};

Globals& globals() {
    static Globals g;
    return g;
}

template <typename T>
QFuture<T> finished(T value) {
    return Async::ready(std::move(value));
}

// The camera frames of 640×480 need no enlarged search; consecutive frames let the detector follow
// the face.
KorvelIDController::EngineFactory realEngine(FrameSourceFactory frames) {
    if (!frames) frames = V4L2FrameSource::factory();
    return [frames = std::move(frames)](FaceStore& store, Settings settings) {
        return std::make_unique<AuthEngine>(store, std::make_unique<FaceDetector>(), std::make_unique<DescriptorRecognizer>(),
                                            std::move(settings), frames);
    };
}

double fraction(std::int64_t done, std::int64_t total) {
    return static_cast<double>(done) / static_cast<double>(std::max<std::int64_t>(total, 1));
}

}  // namespace

struct KorvelIDController::RunningScan {
    ScanTask<AuthResult> task;
    std::shared_ptr<QPromise<UnlockResult>> promise;
    std::uint64_t generation = 0;
    bool showsNotchUI = false;
    bool cancelRequested = false;
    // The hint of the frames in a row that had one, since when, and whether the display shows it.
    ScanStatus::Hint hint = ScanStatus::Hint::none;
    std::chrono::steady_clock::time_point hintSince;
    bool hintShown = false;
};

KorvelIDController& KorvelIDController::shared() {
    auto& g = globals();
    if (!g.shared) g.shared = std::make_unique<KorvelIDController>(g.options);
    return *g.shared;
}

void KorvelIDController::configure(Options options) {
    auto& g = globals();
    g.shared.reset();
    g.options = std::move(options);
    // The master password clears the failed-scan count where this controller's engine keeps it.
    FaceAttemptLimit::setDataFolder(g.options.dataFolder);
}

std::filesystem::path KorvelIDController::dataFolder() {
    const auto& folder = globals().options.dataFolder;
    if (folder.empty()) return AppPaths::supportDirectory();
    AppPaths::ensureDirectory(folder);
    return folder;
}

std::filesystem::path KorvelIDController::settingsFile() { return dataFolder() / Settings::fileName; }

Settings KorvelIDController::loadSettings() { return Settings::load(settingsFile()); }

void KorvelIDController::setScanDisplayFactory(ScanDisplayFactory factory) {
    globals().displayFactory = std::move(factory);
}

void KorvelIDController::setEnrollmentPresenterFactory(EnrollmentPresenterFactory factory) {
    globals().presenterFactory = std::move(factory);
}

void KorvelIDController::setFrameSourceFactory(FrameSourceFactory factory) { globals().frames = std::move(factory); }

KorvelIDController::KorvelIDController(Options options)
    : options_(std::move(options)), store_(dataFolder() / FaceStore::fileName) {
    if (!options_.makeEngine) options_.makeEngine = realEngine(globals().frames);
    if (!options_.cameraAccess) options_.cameraAccess = CameraPermission::v4l2();
}

KorvelIDController::~KorvelIDController() {
    // The window's enrolment and the scan threads use the engine: end them while it exists.
    enrollmentWindow_.reset();
    if (scan_) scan_->task.cancel();
    if (enrollment_) enrollment_->cancel();
    scan_.reset();
    enrollment_.reset();
}

std::vector<std::string> KorvelIDController::enrolledNames() const {
    std::vector<std::string> names;
    const auto profiles = store_.snapshot();
    names.reserve(profiles.size());
    for (const auto& profile : profiles) names.push_back(profile.name);
    return names;
}

AuthEngine& KorvelIDController::engine() {
    if (!engine_) engine_ = options_.makeEngine(store_, loadSettings());
    return *engine_;
}

ScanDisplay* KorvelIDController::display() {
    if (!display_) {
        if (const auto& factory = globals().displayFactory) display_ = factory();
    }
    return display_.get();
}

QFuture<UnlockResult> KorvelIDController::unlock(bool showsNotchUI) {
    // The emptiness check comes first: "nobody enrolled" is the more useful answer, also while busy.
    if (!isEnrolled()) return finished(UnlockResult::notEnrolled());
    if (isBusy()) return finished(UnlockResult::denied(busyReason));
    busy_ = true;
    if (showsNotchUI) {
        if (auto* d = display()) {
            d->ensureVisible();
            d->beginScanning();
        }
    }

    auto running = std::make_unique<RunningScan>();
    running->promise = std::make_shared<QPromise<UnlockResult>>();
    running->promise->start();
    running->showsNotchUI = showsNotchUI;
    running->generation = ++scanGeneration_;
    const std::uint64_t generation = running->generation;
    QFuture<UnlockResult> future = running->promise->future();

    // Status reports and the result are queued to this object in the order the scan sends them, so
    // the final phase is never overtaken by a late progress report.
    AuthEngine::StatusHandler onStatus;
    if (showsNotchUI)
        onStatus = [this](const ScanStatus& status) {
            QMetaObject::invokeMethod(this, [this, status] { showStatus(status); }, Qt::QueuedConnection);
        };
    auto onDone = [this](const AuthResult& result) {
        QMetaObject::invokeMethod(this, [this, result] { finishUnlock(result); }, Qt::QueuedConnection);
    };
    scan_ = std::move(running);
    scan_->task = engine().authenticateAsync(std::move(onStatus), std::move(onDone));

    // A caller that cancels its future cancels the scan.
    auto* watcher = new QFutureWatcher<UnlockResult>(this);
    connect(watcher, &QFutureWatcherBase::canceled, this, [this, generation] {
        if (scan_ && scan_->generation == generation) cancelUnlock();
    });
    connect(watcher, &QFutureWatcherBase::finished, watcher, &QObject::deleteLater);
    watcher->setFuture(future);
    return future;
}

void KorvelIDController::cancelUnlock() {
    if (!scan_) return;
    scan_->cancelRequested = true;
    scan_->task.cancel();
}

void KorvelIDController::showStatus(const ScanStatus& status) {
    auto* d = display();
    if (!d || !busy_ || !scan_) return;
    // A face that stays too small or too turned for the gate: after a second, say what to do. A
    // frame in which no face was found changes nothing (a small face is missed now and then); a
    // usable face ends the hint.
    RunningScan& s = *scan_;
    const auto now = std::chrono::steady_clock::now();
    const bool noFace = status.kind == ScanStatus::Kind::searching && status.hint == ScanStatus::Hint::none;
    if (!noFace && status.hint != s.hint) {
        if (s.hintShown) d->showHint({});
        s.hint = status.hint;
        s.hintSince = now;
        s.hintShown = false;
    }
    if (s.hint != ScanStatus::Hint::none && !s.hintShown && now - s.hintSince > hintAfter) {
        d->showHint(L(s.hint == ScanStatus::Hint::moveCloser ? "scan.moveCloser" : "scan.faceCamera"));
        s.hintShown = true;
    }
    switch (status.kind) {
    case ScanStatus::Kind::progress: d->updateProgress(fraction(status.matches, status.required)); break;
    case ScanStatus::Kind::searching:
    case ScanStatus::Kind::faceFound: d->updateProgress(0); break;
    case ScanStatus::Kind::needBlink: d->showBlinkPrompt(); break;
    }
}

void KorvelIDController::finishUnlock(const AuthResult& scanResult) {
    if (!scan_) return;
    std::unique_ptr<RunningScan> running = std::move(scan_);
    running->task = {};  // the thread has delivered its result and is ending: join it
    busy_ = false;
    presentWaitingEnrollmentLater();

    // A scan cut short by its caller ends as cancelled whatever it saw in its last moment.
    AuthResult result = scanResult;
    if (running->cancelRequested) result = AuthResult::cancelled();

    ScanDisplay* d = running->showsNotchUI ? display() : nullptr;
    UnlockResult answer;
    switch (result.kind) {
    case AuthResult::Kind::matched:
        if (d) d->showApproved(result.name, approvedHideDelay);
        answer = UnlockResult::approved(result.name);
        break;
    case AuthResult::Kind::cameraError:
        Log::auth().error(strprintf("Camera unavailable: %s", result.description.c_str()));
        // "No camera access" would send the user looking for a permission when there is no camera.
        if (d) d->showDenied(result.description == CameraError::noDevice().description() ? noCameraFoundText : noCameraText,
                             deniedHideDelay);
        answer = UnlockResult::cameraUnavailable();
        break;
    case AuthResult::Kind::cancelled:
        if (d) d->hide();
        answer = UnlockResult::denied(cancelledReason);
        break;
    case AuthResult::Kind::noMatch:
    case AuthResult::Kind::noFace:
        if (d) d->showDenied(notRecognizedReason, deniedHideDelay);
        answer = UnlockResult::denied(notRecognizedReason);
        break;
    case AuthResult::Kind::lockedOut:
        if (d) d->showDenied(L("auth.faceLocked"), deniedHideDelay);
        answer = UnlockResult::denied(UnlockResult::useYourPasswordReason);
        break;
    }
    running->promise->addResult(answer);
    running->promise->finish();
}

QFuture<bool> KorvelIDController::enrollHeadless(const std::string& name) {
    if (isBusy()) return finished(false);
    isEnrolling_ = true;
    if (auto* d = display()) {
        d->ensureVisible();
        d->beginScanning();
    }
    auto promise = std::make_shared<QPromise<bool>>();
    promise->start();
    QFuture<bool> future = promise->future();
    auto succeeded = std::make_shared<std::atomic<bool>>(false);
    auto onEvent = [this, succeeded](const EnrollmentEvent& event) {
        if (event.kind == EnrollmentEvent::Kind::finished) *succeeded = true;
        if (event.kind != EnrollmentEvent::Kind::progress) return;
        const double progress = fraction(event.captured, event.total);
        QMetaObject::invokeMethod(
            this,
            [this, progress] {
                if (auto* d = display()) d->updateProgress(progress);
            },
            Qt::QueuedConnection);
    };
    auto onDone = [this, name, succeeded, promise] {
        QMetaObject::invokeMethod(
            this,
            [this, name, succeeded, promise] {
                finishHeadlessEnrollment(name, *succeeded);
                promise->addResult(succeeded->load());
                promise->finish();
            },
            Qt::QueuedConnection);
    };
    enrollment_ = std::make_unique<ScanTask<void>>(engine().enrollAsync(name, std::move(onEvent), std::move(onDone)));
    return future;
}

void KorvelIDController::finishHeadlessEnrollment(const std::string& name, bool succeeded) {
    enrollment_.reset();  // joins the ending thread
    if (auto* d = display()) {
        if (succeeded) d->showApproved(name, approvedHideDelay);
        else d->showDenied(enrollmentFailedText, deniedHideDelay);
    }
    isEnrolling_ = false;
    presentWaitingEnrollmentLater();
}

void KorvelIDController::presentEnrollment(std::function<void()> onFinished) {
    if (busy_ || isEnrolling_) {
        // One camera operation at a time: the window opens once the running scan is over.
        enrollmentWaiting_ = std::move(onFinished);
        return;
    }
    if (!enrollmentWindow_) {
        const auto& factory = globals().presenterFactory;
        if (!factory) {
            Log::face().error("The enrolment window is not available in this program.");
            if (onFinished) QMetaObject::invokeMethod(this, onFinished, Qt::QueuedConnection);
            return;
        }
        enrollmentWindow_ = factory(engine(), options_.cameraAccess);
    }
    QPointer<KorvelIDController> self(this);
    enrollmentWindow_->setOnFinished([self, onFinished = std::move(onFinished)] {
        if (self) self->enrollmentWindowClosed(onFinished);
    });
    enrollmentWindow_->show();
}

void KorvelIDController::presentWaitingEnrollmentLater() {
    if (!enrollmentWaiting_) return;
    QMetaObject::invokeMethod(this, [this] {
        if (auto waiting = std::exchange(enrollmentWaiting_, std::nullopt)) presentEnrollment(std::move(*waiting));
    }, Qt::QueuedConnection);
}

void KorvelIDController::enrollmentWindowClosed(const std::function<void()>& onFinished) {
    // The presenter is still on the stack (it is calling us): it is destroyed once it has returned.
    std::shared_ptr<EnrollmentPresenter> closed(std::move(enrollmentWindow_));
    QMetaObject::invokeMethod(this, [closed] {}, Qt::QueuedConnection);
    if (onFinished) onFinished();
}

void KorvelIDController::hideNotch() {
    if (auto* d = display()) d->hide();
}

bool KorvelIDController::reset() {
    store_.clear();
    if (store_.save()) return true;
    // Still on disk, they unlock again at the next start: they must not look removed now.
    store_.load();
    return false;
}

void KorvelIDController::reloadSettings() { engine().setSettings(loadSettings()); }
