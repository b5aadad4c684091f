#include "Face/AuthEngine.h"

#include <QScopeGuard>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <limits>

#include "Face/LivenessTracker.h"
#include "Support/Logger.h"

namespace {

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Watchdog delays are at least a second; absurd values from a hand-edited settings file are cut
// to a day so the timer arithmetic cannot overflow.
std::chrono::nanoseconds watchdogDelay(double seconds) {
    if (!(seconds >= 1.0)) seconds = 1.0;  // also NaN
    seconds = std::min(seconds, 86400.0);
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds));
}

}  // namespace

// The frame plumbing of one scan or enrolment: the stream fed by the camera, the watchdog that ends
// it when no frame comes, and the teardown that undoes both and stops the camera.
class AuthEngine::Session {
public:
    Session(CameraController& camera, double watchdogSeconds)
        : camera_(camera), stream_(std::make_shared<FrameStream>()) {
        std::weak_ptr<FrameStream> weak = stream_;
        camera_.setOnFrame([weak](const CameraFrame& frame) {
            if (auto stream = weak.lock()) stream->yield(frame);
        });
        watchdog_ = std::jthread([weak, delay = watchdogDelay(watchdogSeconds)](std::stop_token cancelled) {
            std::mutex mutex;
            std::condition_variable_any timer;
            std::unique_lock lock(mutex);
            if (timer.wait_for(lock, cancelled, delay, [] { return false; }) || cancelled.stop_requested()) return;
            if (auto stream = weak.lock()) stream->finish();
        });
    }
    ~Session() { tearDown(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    std::optional<CameraFrame> next(std::stop_token stop) { return stream_->next(std::move(stop)); }

    // The same on every way out: watchdog, frame callback, stream, camera, in this order.
    void tearDown() {
        if (tornDown_) return;
        tornDown_ = true;
        watchdog_.request_stop();
        if (watchdog_.joinable()) watchdog_.join();
        camera_.setOnFrame({});
        stream_->finish();
        camera_.stop();
    }

private:
    CameraController& camera_;
    std::shared_ptr<FrameStream> stream_;
    std::jthread watchdog_;
    bool tornDown_ = false;
};

AuthEngine::AuthEngine(FaceStore& store, std::unique_ptr<FaceDetecting> detector,
                       std::unique_ptr<FaceRecognizer> recognizer, Settings settings, FrameSourceFactory cameraSource,
                       Options options)
    : store_(store),
      detector_(std::move(detector)),
      recognizer_(std::move(recognizer)),
      settings_(std::move(settings)),
      camera_(std::move(cameraSource), options.cameraClock),
      options_(std::move(options)),
      attempts_(store_.fileURL().parent_path()) {}

AuthEngine::~AuthEngine() = default;

Settings AuthEngine::settings() const {
    std::lock_guard lock(settingsMutex_);
    return settings_;
}

void AuthEngine::setSettings(Settings settings) {
    std::lock_guard lock(settingsMutex_);
    settings_ = std::move(settings);
}

void AuthEngine::setOnPreviewFrame(PreviewHandler handler) {
    std::lock_guard lock(previewMutex_);
    onPreviewFrame_ = std::move(handler);
}

BestMatch AuthEngine::bestMatch(const FaceEmbedding& embedding) const {
    // A copy per frame: the main thread may reset the profiles while a scan runs.
    return FaceMatching::bestMatch(store_.snapshot(), embedding, *recognizer_);
}

void AuthEngine::preview(const cv::Mat& frame) {
    PreviewHandler handler;
    {
        std::lock_guard lock(previewMutex_);
        handler = onPreviewFrame_;
    }
    if (!handler || frame.empty() || frame.type() != CV_8UC3) return;
    const QImage view(frame.data, frame.cols, frame.rows, static_cast<qsizetype>(frame.step), QImage::Format_BGR888);
    QImage image = view.copy();  // the frame's pixels go away with the frame
    if (!image.isNull()) handler(image);
}

// A detector or recogniser that throws spoils only the frame in question.
std::optional<DetectedFace> AuthEngine::detect(const cv::Mat& frame) {
    try {
        return detector_->detect(frame);
    } catch (const std::exception& e) {
        Log::face().error(strprintf("Face detection error: %s", e.what()));
        return std::nullopt;
    }
}

// Asking also loads the models, so the first frame of the window does not pay for it.
std::optional<std::string> AuthEngine::modelProblem() {
    if (auto problem = detector_->loadError()) return problem;
    return recognizer_->loadError();
}

std::optional<FaceEmbedding> AuthEngine::embed(const DetectedFace& face) {
    try {
        return recognizer_->embedding(face);
    } catch (const std::exception& e) {
        Log::face().error(strprintf("Face embedding error: %s", e.what()));
        return std::nullopt;
    }
}

AuthResult AuthEngine::authenticate(const StatusHandler& onStatus, std::stop_token stop) {
    if (store_.empty()) return AuthResult::noMatch(std::nullopt);
    if (attempts_.lockedOut()) return AuthResult::lockedOut();
    bool comparedFace = false;
    AuthResult result = scan(onStatus, stop, comparedFace);
    // A scan cancelled after a face was compared counts too: cancelling must not buy a new attempt.
    const bool failed = result.kind == AuthResult::Kind::noMatch || result.kind == AuthResult::Kind::cancelled;
    if (result.kind == AuthResult::Kind::matched && options_.approvalsCount) attempts_.recordSuccess();
    else if (failed && comparedFace) attempts_.recordFailure();
    return result;
}

AuthResult AuthEngine::scan(const StatusHandler& onStatus, std::stop_token stop, bool& comparedFace) {
    if (auto problem = modelProblem()) return AuthResult::cameraError(*problem);
    try {
        camera_.start();
    } catch (const CameraError& e) {
        return AuthResult::cameraError(e.description());
    } catch (const std::exception& e) {
        return AuthResult::cameraError(e.what());
    }

    const Settings atStart = settings();
    const double started = monotonicSeconds();
    const double deadline = started + atStart.scanTimeout;
    LivenessTracker tracker(0.22f, 0.13f);
    std::unique_ptr<EyeOpennessScale> opennessScale;
    // Whose face the blink tracker has seen since it began: a blink proves only that person's
    // liveness, so another face (someone blinking before a photo of the owner is raised) starts it over.
    std::optional<std::string> blinkingFace;
    const auto restartLiveness = [&] {
        tracker = LivenessTracker(0.22f, 0.13f);
        opennessScale = detector_->makeOpennessScale();
        if (!opennessScale) opennessScale = std::make_unique<IdentityOpennessScale>();
        blinkingFace.reset();
    };
    restartLiveness();
    const bool requireBlink = atStart.livenessRequired();
    Session session(camera_, atStart.scanTimeout + 1.0);

    const auto report = [&onStatus](const ScanStatus& status) {
        if (onStatus) onStatus(status);
    };
    std::int64_t streak = 0;
    std::optional<std::string> candidateName;
    float candidateDistance = FaceMatching::noDistance;
    float bestDistance = FaceMatching::noDistance;

    while (auto frame = session.next(stop)) {
        if (stop.stop_requested()) {
            session.tearDown();
            return AuthResult::cancelled();
        }
        if (monotonicSeconds() >= deadline) break;
        preview(frame->image);

        FrameTrace trace;
        trace.time = monotonicSeconds() - started;
        const auto sendTrace = qScopeGuard([&] {
            trace.blinks = tracker.blinkCount();
            if (onFrameTrace_) onFrameTrace_(trace);
        });
        const Settings current = settings();
        const std::optional<DetectedFace> face = detect(frame->image);
        if (face) {
            trace.detectSeconds = face->detectSeconds;
            trace.landmarkSeconds = face->landmarkSeconds;
            trace.quality = face->quality;
            trace.openness = face->eyeOpenness;
        }
        if (!face || !(face->quality >= current.minQuality)) {
            // A face too small for the gate even if it looked straight on: closer; else turned.
            using Hint = ScanStatus::Hint;
            const Hint hint = !face ? Hint::none
                              : FaceGeometry::estimateQuality(float(face->boundingBox.width), std::nullopt, std::nullopt) <
                                        current.minQuality
                                  ? Hint::moveCloser
                                  : Hint::faceCamera;
            report(ScanStatus::searching(hint));
            streak = 0;
            continue;
        }
        report(ScanStatus::faceFound());
        // The scale follows the face's motion: it runs for the tracker, and for a trace when one is asked for.
        if (face->eyeOpenness && (requireBlink || onFrameTrace_)) {
            trace.trackerOpenness = opennessScale->trackerOpenness(*face, frame->time);
            if (requireBlink) tracker.update(*trace.trackerOpenness);
        }

        const auto embedStarted = monotonicSeconds();
        const std::optional<FaceEmbedding> embedding = embed(*face);
        trace.descriptorSeconds = monotonicSeconds() - embedStarted;
        const BestMatch match = embedding ? bestMatch(*embedding) : BestMatch{};
        // The eyes fed to the tracker belong to an enrolled person only while the face is near that
        // person's profile. Closing lids move a face away from it, so the bound is wider than the
        // match threshold; a face that cannot be compared is nobody's.
        const bool samePerson = match.name && match.distance <= differentPersonFactor * current.effectiveThreshold() &&
                                (!blinkingFace || blinkingFace == match.name);
        if (!samePerson) restartLiveness();
        else blinkingFace = match.name;
        if (!embedding) {
            streak = 0;
            continue;
        }
        if (match.name) trace.distance = match.distance;
        comparedFace = comparedFace || match.name.has_value();
        bestDistance = std::min(bestDistance, match.distance);
        if (match.name && match.distance <= current.effectiveThreshold()) {
            candidateName = match.name;
            ++streak;
            if (streak < current.requiredConsecutiveMatches) {
                report(ScanStatus::progress(streak, current.requiredConsecutiveMatches));
                candidateDistance = match.distance;
                continue;
            }
            if (!requireBlink || tracker.blinkCount() > 0) {
                Log::auth().info(strprintf("Match: %s (distance %f, blinks %ld)", match.name->c_str(),
                                           static_cast<double>(match.distance),
                                           static_cast<long>(tracker.blinkCount())));
                session.tearDown();
                return AuthResult::matched(*match.name, match.distance);
            }
            report(ScanStatus::needBlink());
            candidateDistance = match.distance;
            continue;
        }
        report(ScanStatus::faceFound());
        streak = 0;
    }

    // The window is over: the watchdog ended the stream, the wait was cancelled or the deadline passed.
    if (!candidateName) {
        session.tearDown();
        if (bestDistance == FaceMatching::noDistance) return AuthResult::noFace();
        return AuthResult::noMatch(bestDistance);
    }
    if (!requireBlink) {
        Log::auth().info(strprintf("Match (no liveness): %s", candidateName->c_str()));
        session.tearDown();
        return AuthResult::matched(*candidateName, candidateDistance);
    }
    if (tracker.blinkCount() == 0)
        Log::auth().info("Identity matched but no blink detected \u2014 rejected (possible spoof).");
    session.tearDown();
    return AuthResult::noMatch(bestDistance);
}

void AuthEngine::enroll(const std::string& name, const EventHandler& onEvent, std::stop_token stop) {
    const auto send = [&onEvent](const EnrollmentEvent& event) {
        if (onEvent) onEvent(event);
    };
    if (auto problem = modelProblem()) {
        send(EnrollmentEvent::failed(*problem));
        return;
    }
    try {
        camera_.start();
    } catch (const CameraError& e) {
        send(EnrollmentEvent::failed(e.description()));
        return;
    } catch (const std::exception& e) {
        send(EnrollmentEvent::failed(e.what()));
        return;
    }

    const Settings atStart = settings();
    const std::int64_t target = std::max<std::int64_t>(atStart.enrollmentSampleCount, 1);
    const double deadline = monotonicSeconds() + options_.enrollmentWindow;
    Session session(camera_, options_.enrollmentWindow + 1.0);
    std::vector<FaceEmbedding> samples;

    while (auto frame = session.next(stop)) {
        if (stop.stop_requested()) {
            session.tearDown();
            return;
        }
        if (monotonicSeconds() >= deadline || static_cast<std::int64_t>(samples.size()) >= target) break;
        preview(frame->image);

        const Settings current = settings();
        const std::optional<DetectedFace> face = detect(frame->image);
        if (!face || !(face->quality >= current.minQuality)) {
            send(EnrollmentEvent::needBetterFace());
            continue;
        }
        std::optional<FaceEmbedding> embedding = embed(*face);
        if (!embedding) continue;
        // Only the last sample is compared: a still face adds nothing until it moves or the light changes.
        if (!samples.empty() && recognizer_->distance(embedding->vector, samples.back().vector) < diversityDistance)
            continue;
        // One person per profile: a face the first sample would not match is someone else's (a
        // second person leaning in becomes the largest face for a moment), not a new view.
        if (!samples.empty() && recognizer_->distance(embedding->vector, samples.front().vector) > current.effectiveThreshold())
            continue;
        samples.push_back(std::move(*embedding));
        send(EnrollmentEvent::progress(static_cast<std::int64_t>(samples.size()), target));
    }

    // A cancelled enrolment stores nothing, also when the cancel came while waiting for a frame.
    if (stop.stop_requested()) {
        session.tearDown();
        return;
    }
    const auto count = static_cast<std::int64_t>(samples.size());
    const bool enough = atStart.enrollmentSampleCount < 2 ? count >= 1 : count >= target / 2;
    if (!enough) {
        send(EnrollmentEvent::failed(notEnoughSamplesMessage));
        session.tearDown();
        return;
    }
    FaceProfile profile{Uuid::random(), name, std::move(samples), Timestamp::now(), recognizer_->engineName()};
    store_.add(profile);
    if (!store_.save()) {
        store_.load();  // what the file holds, without the face that was not saved
        send(EnrollmentEvent::failed(saveFailedMessage));
        session.tearDown();
        return;
    }
    // Sent before the teardown, so the receiver learns the result while the camera is stopping.
    send(EnrollmentEvent::finished(std::move(profile)));
    session.tearDown();
}

ScanTask<AuthResult> AuthEngine::authenticateAsync(StatusHandler onStatus,
                                                   std::function<void(const AuthResult&)> onDone) {
    std::promise<AuthResult> promise;
    auto future = promise.get_future();
    std::jthread thread([this, onStatus = std::move(onStatus), onDone = std::move(onDone),
                         promise = std::move(promise)](std::stop_token stop) mutable {
        try {
            const AuthResult result = authenticate(onStatus, stop);
            if (onDone) onDone(result);
            promise.set_value(result);
        } catch (...) {
            promise.set_exception(std::current_exception());
        }
    });
    return {std::move(thread), std::move(future)};
}

ScanTask<void> AuthEngine::enrollAsync(std::string name, EventHandler onEvent, std::function<void()> onDone) {
    std::promise<void> promise;
    auto future = promise.get_future();
    std::jthread thread([this, name = std::move(name), onEvent = std::move(onEvent), onDone = std::move(onDone),
                         promise = std::move(promise)](std::stop_token stop) mutable {
        try {
            enroll(name, onEvent, stop);
            if (onDone) onDone();
            promise.set_value();
        } catch (...) {
            promise.set_exception(std::current_exception());
        }
    });
    return {std::move(thread), std::move(future)};
}
