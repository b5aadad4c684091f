#pragma once
// What the scan and the enrolment need from face detection, per frame.
#include <opencv2/core.hpp>

#include <chrono>
#include <deque>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

class FaceLandmarkFinder;

// A rectangle normalised to the frame (0…1 on each axis), origin at the lower left.
struct NormalizedRect {
    double x = 0, y = 0, width = 0, height = 0;
    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    // Cut to the unit square; an empty intersection gives zero width or height.
    NormalizedRect clampedToUnit() const;
    friend bool operator==(const NormalizedRect&, const NormalizedRect&) = default;
};

struct DetectedFace {
    cv::Mat crop;                  // the frame cut to the enlarged face box (shares the frame's pixels)
    NormalizedRect boundingBox;    // the face box, unenlarged
    float quality = 0;             // 0…1
    std::optional<float> roll;     // radians
    std::optional<float> yaw;      // radians
    std::optional<float> eyeOpenness;
    // Landmarks in frame pixels and the whole frame: the recogniser aligns its input on them.
    // Empty for faces that carry no landmarks.
    std::vector<cv::Point2f> landmarks;
    cv::Mat frame;
    // How long finding the face and fitting its landmarks took (diagnostics).
    double detectSeconds = 0;
    double landmarkSeconds = 0;
};

// Turns the detector's raw eye openness into the liveness tracker's scale (open ≥ 0.22,
// closed ≤ 0.13). One per scan; it may keep per-scan state.
class EyeOpennessScale {
public:
    virtual ~EyeOpennessScale() = default;
    // `seconds`: a monotonic time of the frame, used by scales that look back in time.
    virtual float toTrackerScale(float rawOpenness, double seconds) = 0;
    // The whole face of the frame (its eyeOpenness set): scales that look at more than the ratio
    // override this; the others scale the ratio.
    virtual float trackerOpenness(const DetectedFace& face, double seconds) {
        return toTrackerScale(face.eyeOpenness.value_or(std::numeric_limits<float>::quiet_NaN()), seconds);
    }
};

class IdentityOpennessScale final : public EyeOpennessScale {
public:
    float toTrackerScale(float rawOpenness, double) override { return rawOpenness; }
};

class FaceDetecting {
public:
    virtual ~FaceDetecting() = default;
    // `frame`: 8-bit BGR. Nothing when no usable face is in view.
    virtual std::optional<DetectedFace> detect(const cv::Mat& frame) = 0;
    // A fresh per-scan openness scale. Detectors whose openness already is on the tracker's scale
    // keep the identity.
    virtual std::unique_ptr<EyeOpennessScale> makeOpennessScale() const {
        return std::make_unique<IdentityOpennessScale>();
    }
    // Loads the detector's models if that has not happened yet (blocking, once; later calls are
    // cheap) and returns the text to show as the scan's camera error when they cannot be used:
    // it names the file and the setup command. Nothing when the detector is ready. Detectors
    // without model files keep this default.
    virtual std::optional<std::string> loadError() { return std::nullopt; }
};

// The landmark ratio on the tracker's scale (FaceDetector's scan scale, EyeMotionOpennessScale in
// FaceMotion.h, runs it beside the motion-compensated ratio). dlib's eye outlines never close completely (closed eyes still
// read 0.13–0.26 against 0.33–0.37 open), and people's open eyes differ, so the raw ratio is taken
// relative to this scan's own recent eyes: z = raw / baseline, where the baseline is the median raw
// value of the frames fed in the previous 2 s (while fewer than 5 are in that window: the largest of
// the last five frames, this one included, so that a blink at a scan's start is measured against
// the open eyes before it; see Start), and mapped to the tracker's scale as 0.55·(z − 0.464). Open
// eyes then read about 0.29, and the eyes count as closed at 70 % of their usual height (0.13) and
// as open again at 86 % (0.22). On small faces closed lids read only 0.64–0.70 of open ones, and
// eyes lowered to look down read 0.71: the 70 % point sits between the two. A face that never
// changes (a photograph) stays at 0.29 and never blinks. One per scan, like the tracker.
class RelativeOpennessScale final : public EyeOpennessScale {
public:
    static constexpr double window = 2.0;             // seconds
    static constexpr std::size_t minWindowFrames = 5;
    static constexpr float gain = 0.55f;
    static constexpr float offset = 0.464f;
    // Between the tracker's thresholds: changes nothing. Given when no baseline can be formed.
    static constexpr float neutral = 0.175f;

    // The baseline of the first frames. `widest`: the widest so far. A scan that starts just before
    // a blink has one open frame and then closing ones, so any cap below the widest measures the
    // closed lids against half-closed ones; used where something else keeps a fit that sprang wide
    // from closing the eyes (EyeMotionOpennessScale looks at the eyes themselves). `steadied`: the
    // widest, but at most 5 % above the second widest, so that one frame whose fit sprang wide (a
    // still's landmarks jitter by a quarter) does not make every other frame read closed.
    enum class Start { widest, steadied };
    explicit RelativeOpennessScale(Start start = Start::steadied) : start_(start) {}

    float toTrackerScale(float rawOpenness, double seconds) override;

private:
    Start start_;
    std::deque<std::pair<double, float>> history_;  // (time, raw openness), oldest first
};

// Faces found by dlib's HOG frontal-face detector with its 68-point landmarks. The models are read
// on first use (the first detect() or loadError()), not at construction; a missing or damaged
// landmark model makes every detect() give nothing and loadError() give the reason.
//
// Per frame: the greyscale frame is searched at half size, then at full size when nothing was found
// (and, with `upsampleWhenNothingFound`, once more at double size); a half-size face at the
// detector's finest scales, where it reports boxes too large, is looked for again at full size
// around it. The largest face is kept (the detector's first on ties). Its landmarks come from the
// full-size frame, fitted at sub-pixel precision in the box that two quick fits place on the face
// rather than in the detector's box, which jumps between scales from frame to frame.
//
// dlib's boxes hug the eyebrows and chin, so the reported box is the dlib box enlarged 1.2× about
// its centre, the width of a whole face; the 0.12 floor, the quality and the crop all use that box.
// Roll is the angle of the eye line, yaw is read from the nose's place between the face's sides,
// and the eye openness is taken on eye outlines turned back by the roll. The result carries the 68
// landmarks and the frame, which the descriptor recogniser aligns its input on.
//
// Thread-safe; detection calls are serialised.
class FaceDetector final : public FaceDetecting {
public:
    struct Options {
        std::filesystem::path landmarkModel = defaultLandmarkModel();
        // A third pass on the frame enlarged 2× when nothing was found at full size: finds faces down
        // to about 40 px at four times the cost of the full-size pass. For photographs and small
        // videos; camera frames of 640×480 do not need it.
        bool upsampleWhenNothingFound = false;
        // Use the AVX2 build of the finder when the CPU has it.
        bool allowAvx2 = true;
        // Frames of one video: a lone face that the half-size search found at its finest scales
        // (and that was then looked for again around where it was) is, in the next frame, looked
        // for again in the same place without the half-size search, a third of the cost of a
        // frame's search. The whole frame is searched again when the face is not found there, when
        // the last frame came more than `followFor` ago, and on every `searchEvery`-th frame (about a
        // second of a camera's frames, so a face coming into view is still noticed). Counting frames
        // rather than seconds keeps the result of a video the same however fast it is processed.
        // Photos, which have nothing to do with each other, turn this off.
        bool followFace = true;
    };
    static constexpr double followFor = 2.0;  // seconds
    static constexpr int searchEvery = 20;    // frames

    FaceDetector();
    explicit FaceDetector(Options options);
    ~FaceDetector() override;
    FaceDetector(const FaceDetector&) = delete;
    FaceDetector& operator=(const FaceDetector&) = delete;

    // `frame`: 8-bit BGR (BGRA and greyscale are accepted too).
    std::optional<DetectedFace> detect(const cv::Mat& frame) override;
    std::unique_ptr<EyeOpennessScale> makeOpennessScale() const override;
    std::optional<std::string> loadError() override;
    // The frames that follow belong to another video: no face is followed from the frames before.
    void forgetFace();

    // "avx2" or "baseline" once loaded; empty when the model cannot be read.
    std::string instructionSet();

    // $KORVEL_DLIB_LANDMARKS when set, else "/usr/share/dlib/shape_predictor_68_face_landmarks.dat".
    static std::filesystem::path defaultLandmarkModel();

private:
    bool load();

    // For Options::followFace: the half-size search's box of the last frame's face.
    struct Followed {
        cv::Rect2d coarse;  // frame pixels
        cv::Size frame;
        std::chrono::steady_clock::time_point seen;
        int followedFrames = 0;  // since the last whole search
    };

    Options options_;
    std::optional<Followed> followed_;
    std::once_flag loadOnce_;
    std::optional<std::string> loadError_;
    std::unique_ptr<FaceLandmarkFinder> finder_;
    std::mutex detectMutex_;
};

// The detector's geometry, free of any detector so it can be checked on its own. Pixel coordinates
// have their origin at the top left of the frame (as OpenCV and dlib have them), normalised ones at
// the lower left.
namespace FaceGeometry {
// Faces narrower than this fraction of the frame width are too far away.
inline constexpr double minFaceWidth = 0.12;
// Reported box / dlib box: dlib's box spans brows to chin, a whole face is 1.2 times as wide.
inline constexpr double reportedBoxScale = 1.2;

// quality = min(2·w, 1), lowered linearly by |roll| and |yaw| up to 0.6 rad, clamped to 0…1.
float estimateQuality(float faceWidthFraction, std::optional<float> roll, std::optional<float> yaw);

// The index of the box with the largest area, the earliest of equal ones; -1 for no boxes.
int largestFace(std::span<const NormalizedRect> boxes);
// width ≥ minFaceWidth.
bool wideEnough(const NormalizedRect& box);
// A detector box in frame pixels as reported: scaled by reportedBoxScale about its centre,
// normalised to the frame, origin at the lower left. Not clamped.
NormalizedRect reportedBox(const cv::Rect2d& pixelBox, cv::Size frame);
// The crop of a reported box: each side moved out by a quarter of the box's size (1.5× about the
// centre), clamped to the unit square, in whole frame pixels. Empty when nothing of it is inside.
cv::Rect cropRect(const NormalizedRect& box, cv::Size frame);

// The mean of `points` (at least one).
cv::Point2d centroid(std::span<const cv::Point2f> points);
// The centres of the eye outlines of 68 landmarks: the eye on the image's left (points 36–41) and
// the other (42–47). Nothing without 68 points.
struct EyeCentres {
    cv::Point2d left, right;
    double distance() const { return cv::norm(right - left); }
    cv::Point2d middle() const { return (left + right) * 0.5; }
};
std::optional<EyeCentres> eyeCentres(std::span<const cv::Point2f> landmarks);

// Roll in radians: the angle of the line from the centre of the eye on the image's left (points
// 36–41) to the other eye's (42–47), counter-clockwise positive with the y axis up. Nothing without
// 68 points.
std::optional<float> roll(std::span<const cv::Point2f> landmarks);
// Yaw in radians, positive when the face turns towards the image's right: from the nose tip's place
// between the two sides of the face outline (points 0–2 and 14–16), measured along the eye line
// (`roll` taken out). Turning by yaw about the neck moves the nose tip across by d·sin(yaw) relative
// to the sides, which lie w to either side and d behind it and narrow to w·cos(yaw); so the nose's
// offset from the sides' midpoint, in half-widths, is (d/w)·tan(yaw). An adult head has d/w ≈ 1.3
// (the cheek outline in front of the ears is ~65–70 mm from the centre line and ~85–90 mm behind
// the nose tip). Frontal faces read 0 whatever their shape; a generic 3-D head fitted with solvePnP
// read 0.1–0.2 rad on frontal photographs and varied as people talked. Nothing without 68 points.
inline constexpr double yawDepthRatio = 1.3;
std::optional<float> yaw(std::span<const cv::Point2f> landmarks, std::optional<float> roll);

// The mean height-to-width ratio of the eye outlines, each given relative to the face box (0…1
// across the box on each axis). An outline with fewer than 4 points is skipped; one of zero width
// gives 0. Nothing when neither eye is usable.
std::optional<float> eyeOpenness(std::span<const cv::Point2f> leftEye, std::span<const cv::Point2f> rightEye);
// The box dlib's detector draws, on average, around a face with these 68 landmarks (frame pixels,
// origin top left): a square landmarkBoxWidth · s wide, centred at anchor + landmarkBoxOffset · s,
// where s is the mean of the distance between the eye centres and the distance from their midpoint
// to the mouth's centre, and anchor the midpoint between the eyes' midpoint and the mouth's centre.
// The constants are measured by the face-calibrate tool. Empty without 68 points.
inline constexpr double landmarkBoxWidth = 2.2882;
inline constexpr double landmarkBoxOffsetX = 0.0249, landmarkBoxOffsetY = -0.0118;
cv::Rect2d landmarkBox(std::span<const cv::Point2f> landmarks);
// The anchor and the size s above. Nothing without 68 points.
struct LandmarkFrame {
    cv::Point2d anchor;
    double size = 0;
};
std::optional<LandmarkFrame> landmarkFrame(std::span<const cv::Point2f> landmarks);

// The two eye outlines of 68 landmarks (points 36–41 and 42–47, frame pixels) turned back by
// `roll` about the midpoint of the eyes and expressed relative to `box` (y up), ready for
// eyeOpenness. Empty outlines without 68 points.
std::pair<std::vector<cv::Point2f>, std::vector<cv::Point2f>> eyeOutlines(std::span<const cv::Point2f> landmarks,
                                                                         const NormalizedRect& box, cv::Size frame,
                                                                         float roll);
}  // namespace FaceGeometry
