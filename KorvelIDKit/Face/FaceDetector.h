#pragma once
// What the scan and the enrolment need from face detection, per frame.
#include <opencv2/core.hpp>

#include <memory>
#include <optional>
#include <vector>

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
};

// Turns the detector's raw eye openness into the liveness tracker's scale (open ≥ 0.22,
// closed ≤ 0.13). One per scan; it may keep per-scan state.
class EyeOpennessScale {
public:
    virtual ~EyeOpennessScale() = default;
    // `seconds`: a monotonic time of the frame, used by scales that look back in time.
    virtual float toTrackerScale(float rawOpenness, double seconds) = 0;
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
};

namespace FaceGeometry {
// quality = min(2·w, 1), lowered linearly by |roll| and |yaw| up to 0.6 rad, clamped to 0…1.
float estimateQuality(float faceWidthFraction, std::optional<float> roll, std::optional<float> yaw);
}  // namespace FaceGeometry
