#pragma once
// A scripted camera, detector and recogniser: each frame is an 8×8 image whose first pixel carries
// its index, looked up in the script. The source runs in lockstep with the detector (frame i is
// read only after frame i−1 was looked at), so the newest-only stream never drops one.
#include <opencv2/core.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

#include "Face/AuthEngine.h"
#include "Face/CameraController.h"
#include "Face/FaceDetector.h"
#include "Face/FaceRecognizer.h"

namespace Scripted {

inline constexpr int fillerIndex = 0xFFFF;

struct Frame {
    bool face = true;
    float quality = 1.0f;
    std::optional<float> openness;
    std::optional<std::vector<float>> embedding;
    enum class Throws { nothing, detector, recognizer } throws = Throws::nothing;
    double width = 0.5;  // of the face box, as a share of the frame's

    static Frame noFace() { return {false, 0, {}, {}}; }
    static Frame throwing(Throws where) { return {true, 1.0f, {}, std::vector<float>{1, 0, 0}, where}; }
    static Frame lowQuality(float quality, std::optional<float> openness = {}, double width = 0.5) {
        return {true, quality, openness, std::vector<float>{1, 0, 0}, Throws::nothing, width};
    }
    static Frame withEmbedding(std::vector<float> e, std::optional<float> openness = {}) {
        return {true, 1.0f, openness, std::move(e)};
    }
    static Frame noEmbedding(std::optional<float> openness = {}) { return {true, 1.0f, openness, {}}; }
};

struct Script {
    std::vector<Frame> frames;
    // Seconds after the source opens at which filler frames start (meant to fall after the scan's
    // deadline, so they end the window); none: the source goes quiet after the script.
    std::optional<double> fillerAfter;
    // Called by the detector with the index of each frame it looks at.
    std::function<void(int)> onDetect;
    // Makes the source's open() fail.
    std::function<void()> failOpen;
    // What the detector and the recogniser say about their models.
    std::optional<std::string> detectorLoadError, recognizerLoadError;
    CameraController* camera = nullptr;  // observed at close()

    // Observations.
    std::atomic<int> opens{0}, closes{0};
    std::atomic<bool> onFrameSetAtClose{false};
    std::vector<double> opennessTimes;  // the times passed to the openness scale

    std::mutex mutex;
    std::condition_variable_any changed;
    int detected = 0;      // frames looked at by the detector in this run
    int readingIndex = -1; // frame the source is currently reading

    void noteDetected() {
        {
            std::lock_guard lock(mutex);
            ++detected;
        }
        changed.notify_all();
    }
    // Waits until the source is reading frame `index` (so every earlier frame is in the stream).
    bool waitUntilReading(int index, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return readingIndex >= index; });
    }
};

inline cv::Mat makeFrame(int index) {
    cv::Mat frame(8, 8, CV_8UC3, cv::Scalar(10, 20, 30));  // B, G, R
    frame.at<cv::Vec3b>(0, 0) = cv::Vec3b(static_cast<uchar>(index & 0xFF), static_cast<uchar>(index >> 8), 0);
    return frame;
}

inline int frameIndex(const cv::Mat& frame) {
    const cv::Vec3b pixel = frame.at<cv::Vec3b>(0, 0);
    return pixel[0] | (pixel[1] << 8);
}

class Source final : public FrameSource {
public:
    explicit Source(std::shared_ptr<Script> script) : script_(std::move(script)) {}

    void open() override {
        ++script_->opens;
        if (script_->failOpen) script_->failOpen();
        {
            std::lock_guard lock(script_->mutex);
            script_->detected = 0;
            script_->readingIndex = -1;
        }
        openedAt_ = std::chrono::steady_clock::now();
        next_ = 0;
    }

    bool read(cv::Mat& frame, std::stop_token stop) override {
        const int index = next_++;
        std::unique_lock lock(script_->mutex);
        script_->readingIndex = index;
        script_->changed.notify_all();
        const int scripted = static_cast<int>(script_->frames.size());
        const int mustHaveSeen = std::min(index, scripted);
        if (!script_->changed.wait(lock, stop, [&] { return script_->detected >= mustHaveSeen; })) return false;
        if (index < scripted) {
            // The scan attaches to the camera only after start() returned; a frame read before
            // that would be lost, so wait for it.
            while (script_->camera && !script_->camera->hasOnFrame())
                if (script_->changed.wait_for(lock, stop, std::chrono::milliseconds(1), [] { return false; }),
                    stop.stop_requested())
                    return false;
            frame = makeFrame(index);
            return true;
        }
        if (!script_->fillerAfter) {
            script_->changed.wait(lock, stop, [] { return false; });
            return false;
        }
        const auto fillerAt = openedAt_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                              std::chrono::duration<double>(*script_->fillerAfter));
        const auto due = std::max(fillerAt, std::chrono::steady_clock::now() + std::chrono::milliseconds(20));
        script_->changed.wait_until(lock, stop, due, [] { return false; });
        if (stop.stop_requested()) return false;
        frame = makeFrame(fillerIndex);
        return true;
    }

    void close() override {
        ++script_->closes;
        if (script_->camera) script_->onFrameSetAtClose = script_->camera->hasOnFrame();
    }

    std::string deviceName() const override { return "Scripted Camera"; }

private:
    std::shared_ptr<Script> script_;
    std::chrono::steady_clock::time_point openedAt_;
    int next_ = 0;
};

inline FrameSourceFactory sourceFactory(std::shared_ptr<Script> script) {
    return [script] { return std::make_unique<Source>(script); };
}

// Halves the raw openness, standing in for a detector whose eye measure is on another scale.
class HalvingScale final : public EyeOpennessScale {
public:
    explicit HalvingScale(std::shared_ptr<Script> script) : script_(std::move(script)) {}
    float toTrackerScale(float raw, double seconds) override {
        script_->opennessTimes.push_back(seconds);
        return raw / 2;
    }

private:
    std::shared_ptr<Script> script_;
};

class Detector final : public FaceDetecting {
public:
    explicit Detector(std::shared_ptr<Script> script, bool halvingScale = false)
        : script_(std::move(script)), halvingScale_(halvingScale) {}

    std::optional<DetectedFace> detect(const cv::Mat& frame) override {
        const int index = frameIndex(frame);
        script_->noteDetected();
        if (script_->onDetect) script_->onDetect(index);
        if (index >= static_cast<int>(script_->frames.size())) return std::nullopt;
        const Frame& f = script_->frames[static_cast<std::size_t>(index)];
        if (f.throws == Frame::Throws::detector) throw std::runtime_error("scripted detector failure");
        if (!f.face) return std::nullopt;
        DetectedFace face;
        face.crop = frame;
        face.frame = frame;
        face.boundingBox = {0.2, 0.2, f.width, f.width};
        face.quality = f.quality;
        face.eyeOpenness = f.openness;
        return face;
    }

    std::optional<std::string> loadError() override { return script_->detectorLoadError; }

    std::unique_ptr<EyeOpennessScale> makeOpennessScale() const override {
        if (halvingScale_) return std::make_unique<HalvingScale>(script_);
        return FaceDetecting::makeOpennessScale();
    }

private:
    std::shared_ptr<Script> script_;
    bool halvingScale_;
};

class Recognizer final : public FaceRecognizer {
public:
    explicit Recognizer(std::shared_ptr<Script> script) : script_(std::move(script)) {}
    std::string engineName() const override { return "Scripted"; }
    float defaultThreshold() const override { return 0.30f; }
    std::optional<std::string> loadError() override { return script_->recognizerLoadError; }
    std::optional<FaceEmbedding> embedding(const DetectedFace& face) override {
        const int index = frameIndex(face.frame);
        if (index >= static_cast<int>(script_->frames.size())) return std::nullopt;
        const Frame& f = script_->frames[static_cast<std::size_t>(index)];
        if (f.throws == Frame::Throws::recognizer) throw std::runtime_error("scripted recogniser failure");
        const auto& e = f.embedding;
        if (!e) return std::nullopt;
        return FaceEmbedding{*e};
    }

private:
    std::shared_ptr<Script> script_;
};

// A camera clock that moves 50 ms per reading, so the throttle lets every scripted frame through.
inline CameraController::Clock steppingClock() {
    auto now = std::make_shared<std::atomic<long long>>(1'000'000'000LL);
    return [now] { return std::chrono::nanoseconds(now->fetch_add(50'000'000LL)); };
}

// An engine on the script: the scripted camera, detector (halving the openness when asked) and
// recogniser, and a camera clock that lets every scripted frame through.
inline std::unique_ptr<AuthEngine> engine(FaceStore& store, std::shared_ptr<Script> script, Settings settings,
                                          AuthEngine::Options options = {}, bool halvingScale = false) {
    if (!options.cameraClock) options.cameraClock = steppingClock();
    auto made = std::make_unique<AuthEngine>(store, std::make_unique<Detector>(script, halvingScale),
                                             std::make_unique<Recognizer>(script), std::move(settings),
                                             sourceFactory(script), std::move(options));
    script->camera = &made->camera();
    return made;
}

// An embedding at cosine distance about `d` from (1, 0, 0).
inline std::vector<float> near(float d) {
    const float c = 1 - d;
    return {c, std::sqrt(1 - c * c), 0};
}

inline FaceProfile profile(std::string name, std::vector<std::vector<float>> vectors) {
    FaceProfile p;
    p.id = Uuid::random();
    p.name = std::move(name);
    for (auto& v : vectors) p.embeddings.push_back({std::move(v)});
    p.createdAt = 1000;
    return p;
}

}  // namespace Scripted

inline void PrintTo(const AuthResult& r, std::ostream* os) {
    static const char* names[] = {"matched", "noMatch", "cameraError", "noFace", "cancelled"};
    *os << names[static_cast<int>(r.kind)];
    if (r.kind == AuthResult::Kind::matched) *os << "(" << r.name << ", " << r.distance << ")";
    if (r.kind == AuthResult::Kind::noMatch)
        *os << "(" << (r.bestDistance ? std::to_string(*r.bestDistance) : std::string("none")) << ")";
    if (r.kind == AuthResult::Kind::cameraError) *os << "(" << r.description << ")";
}

inline void PrintTo(const EnrollmentEvent& e, std::ostream* os) {
    static const char* names[] = {"progress", "finished", "failed", "needBetterFace"};
    *os << names[static_cast<int>(e.kind)];
    if (e.kind == EnrollmentEvent::Kind::progress) *os << "(" << e.captured << "/" << e.total << ")";
    if (e.kind == EnrollmentEvent::Kind::failed) *os << "(" << e.message << ")";
    if (e.kind == EnrollmentEvent::Kind::finished) *os << "(" << e.profile.name << ", " << e.profile.embeddings.size() << ")";
}
