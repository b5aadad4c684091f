#include <algorithm>
#include <cmath>

#include "Face/FaceDetector.h"

NormalizedRect NormalizedRect::clampedToUnit() const {
    NormalizedRect r;
    r.x = std::max(x, 0.0);
    r.y = std::max(y, 0.0);
    r.width = std::max(std::min(maxX(), 1.0) - r.x, 0.0);
    r.height = std::max(std::min(maxY(), 1.0) - r.y, 0.0);
    return r;
}

namespace FaceGeometry {
float estimateQuality(float w, std::optional<float> roll, std::optional<float> yaw) {
    float q = std::min(2 * w, 1.0f);
    if (roll) q = std::max(0.0f, 1 - std::fabs(*roll) / 0.6f) * q;
    if (yaw) q = q * std::max(0.0f, 1 - std::fabs(*yaw) / 0.6f);
    return std::clamp(q, 0.0f, 1.0f);
}
}  // namespace FaceGeometry
