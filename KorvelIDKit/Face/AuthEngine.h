#pragma once
// The face scan and the enrolment: camera frames examined one by one (detect, quality gate, blink
// tracking, embedding, best match) on a worker thread.
#include <QImage>

#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "Face/CameraController.h"
#include "Face/FaceAttemptLimit.h"
#include "Face/FaceDetector.h"
#include "Face/FaceRecognizer.h"
#include "Face/FaceStore.h"
#include "Face/Settings.h"

// Progress of one scan, reported once or twice per examined frame.
struct ScanStatus {
    enum class Kind { progress, searching, faceFound, needBlink };
    // searching: why a face that was found cannot be used (none when no face was found).
    enum class Hint { none, moveCloser, faceCamera };
    Kind kind = Kind::searching;
    std::int64_t matches = 0;   // progress: matching frames in a row so far
    std::int64_t required = 0;  // progress: frames in a row required
    Hint hint = Hint::none;

    static ScanStatus progress(std::int64_t matches, std::int64_t required) { return {Kind::progress, matches, required}; }
    static ScanStatus searching(Hint hint = Hint::none) { return {Kind::searching, 0, 0, hint}; }
    static ScanStatus faceFound() { return {Kind::faceFound, 0, 0}; }
    static ScanStatus needBlink() { return {Kind::needBlink, 0, 0}; }
    friend bool operator==(const ScanStatus&, const ScanStatus&) = default;
};

// The outcome of one scan.
struct AuthResult {
    // lockedOut: too many failed scans in a row; no scan until the master password is accepted.
    enum class Kind { matched, noMatch, cameraError, noFace, cancelled, lockedOut };
    Kind kind = Kind::noFace;
    std::string name;                   // matched
    float distance = 0;                 // matched
    std::optional<float> bestDistance;  // noMatch: the smallest distance seen; absent when nobody is enrolled
    std::string description;            // cameraError

    static AuthResult matched(std::string name, float distance) { return {Kind::matched, std::move(name), distance, {}, {}}; }
    static AuthResult noMatch(std::optional<float> bestDistance) { return {Kind::noMatch, {}, 0, bestDistance, {}}; }
    static AuthResult cameraError(std::string description) { return {Kind::cameraError, {}, 0, {}, std::move(description)}; }
    static AuthResult noFace() { return {}; }
    static AuthResult cancelled() { return {Kind::cancelled, {}, 0, {}, {}}; }
    static AuthResult lockedOut() { return {Kind::lockedOut, {}, 0, {}, {}}; }
    friend bool operator==(const AuthResult&, const AuthResult&) = default;
};

// Progress and outcome of one enrolment.
struct EnrollmentEvent {
    enum class Kind { progress, finished, failed, needBetterFace };
    Kind kind = Kind::needBetterFace;
    std::int64_t captured = 0;  // progress
    std::int64_t total = 0;     // progress
    FaceProfile profile;        // finished
    std::string message;        // failed

    static EnrollmentEvent progress(std::int64_t captured, std::int64_t total) { return {Kind::progress, captured, total, {}, {}}; }
    static EnrollmentEvent finished(FaceProfile profile) { return {Kind::finished, 0, 0, std::move(profile), {}}; }
    static EnrollmentEvent failed(std::string message) { return {Kind::failed, 0, 0, {}, std::move(message)}; }
    static EnrollmentEvent needBetterFace() { return {}; }
    friend bool operator==(const EnrollmentEvent&, const EnrollmentEvent&) = default;
};

// What a scan saw in one examined frame, for diagnostics (korvel-id-cli faces test).
struct FrameTrace {
    double time = 0;                        // seconds since the scan started
    std::optional<double> detectSeconds;    // finding the face
    std::optional<double> landmarkSeconds;  // fitting its landmarks
    std::optional<double> descriptorSeconds;
    std::optional<float> quality;
    std::optional<float> openness;          // the detector's eye openness
    std::optional<float> trackerOpenness;   // the same on the blink tracker's scale
    std::optional<float> distance;          // to the nearest enrolled face
    std::int64_t blinks = 0;                // blinks counted so far in this scan
};

// A scan or enrolment running on its own thread. Destroying the task cancels it and waits for it.
template <class Result>
class ScanTask {
public:
    ScanTask() = default;
    ScanTask(std::jthread thread, std::future<Result> result) : thread_(std::move(thread)), result_(std::move(result)) {}
    ScanTask(ScanTask&&) noexcept = default;
    ScanTask& operator=(ScanTask&&) noexcept = default;

    void cancel() { thread_.request_stop(); }
    bool isValid() const { return result_.valid(); }
    bool isDone() const {
        return result_.valid() && result_.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }
    // Waits for the outcome; once only.
    Result get() { return result_.get(); }

private:
    std::jthread thread_;
    std::future<Result> result_;
};

class AuthEngine {
public:
    using StatusHandler = std::function<void(const ScanStatus&)>;
    using EventHandler = std::function<void(const EnrollmentEvent&)>;
    using PreviewHandler = std::function<void(const QImage&)>;
    using TraceHandler = std::function<void(const FrameTrace&)>;

    static constexpr double enrollmentWindow = 40.0;  // seconds, not taken from the settings
    static constexpr const char* notEnoughSamplesMessage =
        "Could not capture enough face samples. Try again in better lighting.";
    static constexpr const char* saveFailedMessage =
        "Could not save the face: the file of enrolled faces is damaged or cannot be written. Nothing was changed.";
    static constexpr float diversityDistance = 0.02f;
    // A face further than this many match thresholds from the enrolled person whose eyes the blink
    // tracker follows is someone else's: the tracker starts over. Wider than the threshold because
    // an owner's closing lids move the face away from the profile.
    static constexpr float differentPersonFactor = 1.5f;

    struct Options {
        CameraController::Clock cameraClock;         // the camera throttle's clock (tests)
        double enrollmentWindow = AuthEngine::enrollmentWindow;  // shorter in tests
        // False for a diagnostic scan under looser settings than the stored ones: its approval must
        // not break a run of failed scans.
        bool approvalsCount = true;
    };

    // `store` is shared with the identity controller and must outlive the engine. The camera is
    // made from `cameraSource` at each start.
    AuthEngine(FaceStore& store, std::unique_ptr<FaceDetecting> detector, std::unique_ptr<FaceRecognizer> recognizer,
               Settings settings, FrameSourceFactory cameraSource, Options options);
    AuthEngine(FaceStore& store, std::unique_ptr<FaceDetecting> detector, std::unique_ptr<FaceRecognizer> recognizer,
               Settings settings, FrameSourceFactory cameraSource)
        : AuthEngine(store, std::move(detector), std::move(recognizer), std::move(settings), std::move(cameraSource),
                     Options{}) {}
    ~AuthEngine();
    AuthEngine(const AuthEngine&) = delete;
    AuthEngine& operator=(const AuthEngine&) = delete;

    // One scan, run on the calling thread (never the main thread: it blocks for the whole window).
    // `onStatus` is called on this thread; receivers hop to their own. A stop requested on `stop`
    // with a frame in hand gives `cancelled`; during the wait for a frame it ends the window early.
    // Scans that compared a face and did not approve are counted in the data folder (the store's
    // folder); after FaceAttemptLimit::maxFailures in a row the answer is `lockedOut`, at once and
    // without the camera, until the master password is accepted.
    AuthResult authenticate(const StatusHandler& onStatus, std::stop_token stop = {});
    // The same scan on a new thread. `onDone` (optional) is called on that thread with the result.
    ScanTask<AuthResult> authenticateAsync(StatusHandler onStatus, std::function<void(const AuthResult&)> onDone = {});

    // One enrolment, run on the calling thread; every outcome is an event, a cancelled enrolment
    // returns without one.
    void enroll(const std::string& name, const EventHandler& onEvent, std::stop_token stop = {});
    ScanTask<void> enrollAsync(std::string name, EventHandler onEvent, std::function<void()> onDone = {});

    // The nearest enrolled profile, from the store's current list.
    BestMatch bestMatch(const FaceEmbedding& embedding) const;

    // Settings are replaced as a whole (reloads from the main thread); a scan reads the per-frame
    // values at each frame and the rest once at its start.
    Settings settings() const;
    void setSettings(Settings settings);

    // Called on the scanning thread with each examined frame when set; may be set from any thread.
    void setOnPreviewFrame(PreviewHandler handler);
    // Called on the scanning thread after each examined frame of a scan; set before the scan starts.
    void setOnFrameTrace(TraceHandler handler) { onFrameTrace_ = std::move(handler); }

    CameraController& camera() { return camera_; }
    FaceStore& store() { return store_; }
    FaceDetecting& detector() { return *detector_; }
    FaceRecognizer& recognizer() { return *recognizer_; }
    FaceAttemptLimit& attempts() { return attempts_; }

private:
    class Session;
    AuthResult scan(const StatusHandler& onStatus, std::stop_token stop, bool& comparedFace);
    void preview(const cv::Mat& frame);
    std::optional<DetectedFace> detect(const cv::Mat& frame);
    std::optional<FaceEmbedding> embed(const DetectedFace& face);
    // Why the face models cannot work, asked before the camera starts.
    std::optional<std::string> modelProblem();

    FaceStore& store_;
    std::unique_ptr<FaceDetecting> detector_;
    std::unique_ptr<FaceRecognizer> recognizer_;
    mutable std::mutex settingsMutex_;
    Settings settings_;
    CameraController camera_;
    Options options_;
    FaceAttemptLimit attempts_;
    mutable std::mutex previewMutex_;
    PreviewHandler onPreviewFrame_;
    TraceHandler onFrameTrace_;
};
