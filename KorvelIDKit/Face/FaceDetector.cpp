#include "Face/FaceDetector.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>

#include "Face/FaceLandmarkFinder.h"
#include "Face/FaceMotion.h"
#include "Face/FaceModelError.h"
#include "Support/Logger.h"

float RelativeOpennessScale::toTrackerScale(float raw, double seconds) {
    if (!std::isfinite(raw) || !std::isfinite(seconds)) return neutral;
    // A clock that went back means a new sequence of frames.
    if (!history_.empty() && seconds < history_.back().first) history_.clear();
    // Keep what the window needs plus the few frames the start-up rule looks at.
    while (history_.size() > minWindowFrames && history_.front().first < seconds - window) history_.pop_front();

    std::vector<float> values;
    for (const auto& [t, v] : history_)
        if (t >= seconds - window) values.push_back(v);
    float baseline = 0;
    if (values.size() < minWindowFrames) {
        // Too few frames for a median: the widest of the last few, this one included (see Start). A
        // median of a scan's first frames already holds the lids of a blink that began among them.
        const std::size_t start = history_.size() > minWindowFrames - 1 ? history_.size() - (minWindowFrames - 1) : 0;
        std::vector<float> first{raw};
        for (std::size_t i = start; i < history_.size(); ++i) first.push_back(history_[i].second);
        std::sort(first.begin(), first.end(), std::greater<>());
        baseline = first.size() > 1 && start_ == Start::steadied ? std::min(first[0], 1.05f * first[1]) : first[0];
    } else {
        const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
        std::nth_element(values.begin(), middle, values.end());
        baseline = *middle;
        if (values.size() % 2 == 0) baseline = (baseline + *std::max_element(values.begin(), middle)) / 2;
    }
    history_.emplace_back(seconds, raw);
    if (!(baseline > 0)) return neutral;
    return gain * (raw / baseline - offset);
}

FaceDetector::FaceDetector() : FaceDetector(Options{}) {}
FaceDetector::FaceDetector(Options options) : options_(std::move(options)) {}
FaceDetector::~FaceDetector() = default;

std::filesystem::path FaceDetector::defaultLandmarkModel() {
    if (const char* env = std::getenv("KORVEL_DLIB_LANDMARKS"); env && *env) return env;
    return "/usr/share/dlib/shape_predictor_68_face_landmarks.dat";
}

bool FaceDetector::load() {
    std::call_once(loadOnce_, [this] {
        std::string reason;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(options_.landmarkModel, ec))
            reason = "the file does not exist";
        else
            finder_ = FaceLandmarkFinders::make(options_.landmarkModel, reason, options_.allowAvx2);
        if (!finder_) {
            loadError_ = FaceModelError(options_.landmarkModel, reason).what();
            Log::face().error(*loadError_);
        }
    });
    return finder_ != nullptr;
}

std::optional<std::string> FaceDetector::loadError() {
    load();
    return loadError_;
}

void FaceDetector::forgetFace() {
    std::lock_guard lock(detectMutex_);
    followed_.reset();
}

std::string FaceDetector::instructionSet() { return load() ? finder_->instructionSet() : std::string(); }

std::unique_ptr<EyeOpennessScale> FaceDetector::makeOpennessScale() const {
    return std::make_unique<EyeMotionOpennessScale>();
}

std::optional<DetectedFace> FaceDetector::detect(const cv::Mat& input) {
    if (input.empty() || input.depth() != CV_8U || !load()) return std::nullopt;
    cv::Mat frame, gray;
    switch (input.channels()) {
    case 3:
        frame = input;
        cv::cvtColor(input, gray, cv::COLOR_BGR2GRAY);
        break;
    case 4:
        cv::cvtColor(input, frame, cv::COLOR_BGRA2BGR);
        cv::cvtColor(frame, gray, cv::COLOR_BGR2GRAY);
        break;
    case 1:
        gray = input;
        cv::cvtColor(input, frame, cv::COLOR_GRAY2BGR);
        break;
    default:
        return std::nullopt;
    }
    const cv::Size size = frame.size();

    std::lock_guard lock(detectMutex_);
    const auto started = std::chrono::steady_clock::now();
    auto located = started;
    std::vector<cv::Rect2d> boxes;
    std::vector<cv::Point2f> landmarks;
    NormalizedRect box;
    try {
        const auto search = [&](const cv::Mat& image, double scale, cv::Point2d offset, bool fewScales) {
            cv::Mat scaled = image;
            if (scale != 1)
                cv::resize(image, scaled, cv::Size(), scale, scale, scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);
            std::vector<cv::Rect2d> found = finder_->faces(scaled, fewScales);
            for (auto& b : found)
                b = cv::Rect2d(b.x / scale + offset.x, b.y / scale + offset.y, b.width / scale, b.height / scale);
            return found;
        };
        const auto now = std::chrono::steady_clock::now();
        const auto age = [&](std::chrono::steady_clock::time_point t) {
            return std::chrono::duration<double>(now - t).count();
        };
        const bool follow = options_.followFace && followed_ && followed_->frame == size &&
                            age(followed_->seen) <= followFor && followed_->followedFrames + 1 < searchEvery;
        std::optional<Followed> next;
        // The boxes of the half-size search, or with `followed` of the last frame's face only.
        const auto halfSize = [&](const Followed* followed) {
            // Half size finds faces of about 160 px and more at a quarter of the cost.
            std::vector<cv::Rect2d> found = followed ? std::vector{followed->coarse} : search(gray, 0.5, {}, false);
            if (found.empty()) return found;
            // At its two finest scales the detector also fires on faces up to a third smaller than
            // its window, and then reports the window: a box too large, with landmarks to match. Such
            // a face is looked for again at full size, in the region around it only and only at the
            // scales from 0.6 to 1.04 times the coarse box.
            const std::size_t largest = FaceLandmarkFinders::largestBox(found);
            const cv::Rect2d coarse = found[largest];
            if (coarse.width * 0.5 >= FaceLandmarkFinders::refineBelow) return found;
            const cv::Rect2d around(coarse.x - coarse.width / 4, coarse.y - coarse.height / 4, coarse.width * 1.5,
                                    coarse.height * 1.5);
            const cv::Rect region = cv::Rect(around) & cv::Rect(0, 0, gray.cols, gray.rows);
            const double scale = std::min(1.0, FaceLandmarkFinders::windowSize / (0.6 * coarse.width));
            std::vector<cv::Rect2d> refined;
            if (!region.empty()) refined = search(gray(region), scale, region.tl(), true);
            if (refined.empty()) return std::vector<cv::Rect2d>{};
            found[largest] = refined[FaceLandmarkFinders::largestBox(refined)];
            if (found.size() == 1) next = Followed{coarse, size, now, followed ? followed->followedFrames + 1 : 0};
            return found;
        };
        if (follow) boxes = halfSize(&*followed_);
        // A followed face that is gone: search the whole frame after all.
        if (boxes.empty()) boxes = halfSize(nullptr);
        followed_ = options_.followFace ? next : std::nullopt;
        // Smaller faces need the whole frame at full size.
        if (boxes.empty()) boxes = search(gray, 1, {}, false);
        if (boxes.empty() && options_.upsampleWhenNothingFound) boxes = search(gray, 2, {}, false);
        if (boxes.empty()) return std::nullopt;

        std::vector<NormalizedRect> reported;
        for (const auto& b : boxes) reported.push_back(FaceGeometry::reportedBox(b, size));
        const int chosen = FaceGeometry::largestFace(reported);
        box = reported[std::size_t(chosen)];
        if (!FaceGeometry::wideEnough(box)) return std::nullopt;
        // Where the predictor's box sits on the face moves its landmarks, and the detector's boxes
        // jump between its scales (20 % apart) from frame to frame. So the detector's box is only a
        // start: a quick fit in it (the predictor's first stages) gives the box the landmarks imply,
        // a second quick fit there refines it, and the full fit runs in the result. The landmarks
        // then stay put while the detector's box jumps; on small faces this is what lets closed
        // lids read closed.
        const cv::Rect2d& box0 = boxes[std::size_t(chosen)];
        located = std::chrono::steady_clock::now();
        landmarks = finder_->landmarks(gray, box0, true);
        if (landmarks.size() == 68)
            landmarks = FaceLandmarkFinders::subpixelLandmarks(*finder_, gray, FaceGeometry::landmarkBox(landmarks), true);
        const cv::Rect2d fitBox = landmarks.size() == 68 ? FaceGeometry::landmarkBox(landmarks) : box0;
        landmarks = FaceLandmarkFinders::subpixelLandmarks(*finder_, gray, fitBox);
    } catch (const std::exception& e) {
        followed_.reset();
        Log::face().error(strprintf("Face detection error: %s", e.what()));
        return std::nullopt;
    }

    DetectedFace face;
    face.boundingBox = box;
    if (const cv::Rect crop = FaceGeometry::cropRect(box, size); !crop.empty()) face.crop = frame(crop);
    face.roll = FaceGeometry::roll(landmarks);
    face.yaw = FaceGeometry::yaw(landmarks, face.roll);
    face.quality = FaceGeometry::estimateQuality(float(box.width), face.roll, face.yaw);
    const auto [left, right] = FaceGeometry::eyeOutlines(landmarks, box, size, face.roll.value_or(0.0f));
    face.eyeOpenness = FaceGeometry::eyeOpenness(left, right);
    face.landmarks = std::move(landmarks);
    face.frame = frame;
    const auto seconds = [](auto from, auto to) { return std::chrono::duration<double>(to - from).count(); };
    const auto finished = std::chrono::steady_clock::now();
    face.detectSeconds = seconds(started, located);
    face.landmarkSeconds = seconds(located, finished);
    // The gap to the next frame counts from here: a slow call (the first, which sets the finder up,
    // takes over a second on a busy machine) must not decide whether that frame is followed, or a
    // video's result would depend on the machine's load.
    if (followed_) followed_->seen = finished;
    return face;
}
