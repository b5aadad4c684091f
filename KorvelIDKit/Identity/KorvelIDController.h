#pragma once
// The one object behind face recognition: it owns the face store, builds the engine and the scan
// display on first use, and lets one camera operation (a scan, a headless enrolment or the open
// enrolment window) run at a time. Everything here runs on the main thread; the engine's scans run
// on their own threads and report back through queued calls, which Qt drops once the controller is
// gone.
#include <QFuture>
#include <QObject>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Face/AuthEngine.h"
#include "Face/CameraAccess.h"
#include "Face/FaceStore.h"
#include "Face/Settings.h"
#include "Identity/EnrollmentPresenter.h"
#include "Identity/ScanDisplay.h"
#include "Identity/UnlockResult.h"

class KorvelIDController final : public QObject {
    Q_OBJECT

public:
    using EngineFactory = std::function<std::unique_ptr<AuthEngine>(FaceStore& store, Settings settings)>;
    using ScanDisplayFactory = std::function<std::unique_ptr<ScanDisplay>()>;

    static constexpr const char* busyReason = "Busy";
    static constexpr const char* cancelledReason = "Cancelled";
    static constexpr const char* notRecognizedReason = "Face not recognized";
    static constexpr const char* noCameraText = "No camera access";
    static constexpr const char* noCameraFoundText = "No camera found";
    static constexpr const char* enrollmentFailedText = "Enrollment failed";
    static constexpr double approvedHideDelay = 2.2;  // seconds
    // How long a face must stay too small or too turned before the display says what to do.
    static constexpr std::chrono::milliseconds hintAfter{1000};
    static constexpr double deniedHideDelay = 2.6;

    struct Options {
        std::filesystem::path dataFolder;  // empty: AppPaths::supportDirectory()
        EngineFactory makeEngine;          // empty: the real detector and recogniser on the V4L2 camera
        CameraAccessCheck cameraAccess;    // empty: the V4L2 check
    };

    // The process's controller, created on first use.
    static KorvelIDController& shared();
    // Drops the current controller (cancelling what it runs) so that the next use creates one with
    // `options`. For tests and diagnostics; call it on the main thread.
    static void configure(Options options);
    // The folder of "enrollment.json" and "settings.json".
    static std::filesystem::path dataFolder();
    static std::filesystem::path settingsFile();
    // The tuning record from "settings.json", or the defaults when it is missing or does not decode.
    static Settings loadSettings();

    // Installed by the application (display) and the UI library (enrolment window). Without a
    // display factory scans run without a display; without a presenter factory the enrolment
    // window cannot open.
    static void setScanDisplayFactory(ScanDisplayFactory factory);
    static void setEnrollmentPresenterFactory(EnrollmentPresenterFactory factory);
    // The real engine's camera (a chosen V4L2 node, or a recorded video); empty: the first V4L2
    // camera. Takes effect with the next controller (configure()).
    static void setFrameSourceFactory(FrameSourceFactory factory);

    explicit KorvelIDController(Options options);
    ~KorvelIDController() override;

    bool isEnrolled() const { return !store_.empty(); }
    std::vector<std::string> enrolledNames() const;

    // Finishes on the main thread. Cancelling the returned future cancels the scan.
    QFuture<UnlockResult> unlock(bool showsNotchUI);
    // Ends the running unlock scan, which then answers denied("Cancelled").
    void cancelUnlock();
    QFuture<bool> enrollHeadless(const std::string& name);
    void presentEnrollment(std::function<void()> onFinished);
    void hideNotch();
    bool reset();
    void reloadSettings();

    // Built on first use.
    AuthEngine& engine();
    FaceStore& store() { return store_; }
    // The display if it has been built (tests).
    ScanDisplay* builtDisplay() const { return display_.get(); }
    bool isBusy() const { return busy_ || isEnrolling_ || enrollmentWindow_ != nullptr; }

private:
    struct RunningScan;
    ScanDisplay* display();
    void showStatus(const ScanStatus& status);
    void finishUnlock(const AuthResult& result);
    void finishHeadlessEnrollment(const std::string& name, bool succeeded);
    void enrollmentWindowClosed(const std::function<void()>& onFinished);
    void presentWaitingEnrollmentLater();

    Options options_;
    FaceStore store_;
    std::unique_ptr<AuthEngine> engine_;
    std::unique_ptr<ScanDisplay> display_;
    std::unique_ptr<EnrollmentPresenter> enrollmentWindow_;
    bool busy_ = false;
    bool isEnrolling_ = false;
    std::optional<std::function<void()>> enrollmentWaiting_;  // asked for while a scan ran
    std::uint64_t scanGeneration_ = 0;
    // Declared last: destroyed first, so the scan threads end before the engine goes.
    std::unique_ptr<RunningScan> scan_;
    std::unique_ptr<ScanTask<void>> enrollment_;
};
