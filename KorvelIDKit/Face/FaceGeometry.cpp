#include <algorithm>
#include <array>
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

int largestFace(std::span<const NormalizedRect> boxes) {
    int best = -1;
    double bestArea = 0;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const double area = boxes[i].width * boxes[i].height;
        if (best < 0 || area > bestArea) {
            best = int(i);
            bestArea = area;
        }
    }
    return best;
}

bool wideEnough(const NormalizedRect& box) { return box.width >= minFaceWidth; }

NormalizedRect reportedBox(const cv::Rect2d& px, cv::Size frame) {
    const double w = px.width * reportedBoxScale, h = px.height * reportedBoxScale;
    const double cx = px.x + px.width / 2, cy = px.y + px.height / 2;
    NormalizedRect r;
    r.x = (cx - w / 2) / frame.width;
    r.y = (frame.height - (cy + h / 2)) / frame.height;
    r.width = w / frame.width;
    r.height = h / frame.height;
    return r;
}

cv::Rect cropRect(const NormalizedRect& box, cv::Size frame) {
    NormalizedRect grown{box.x - box.width / 4, box.y - box.height / 4, box.width * 1.5, box.height * 1.5};
    const NormalizedRect c = grown.clampedToUnit();
    const auto toPixel = [](double v, int size) { return std::clamp(int(std::lround(v * size)), 0, size); };
    const int x0 = toPixel(c.x, frame.width), x1 = toPixel(c.maxX(), frame.width);
    // Lower-left origin to top-left rows.
    const int y0 = toPixel(1 - c.maxY(), frame.height), y1 = toPixel(1 - c.y, frame.height);
    if (x1 <= x0 || y1 <= y0) return {};
    return {x0, y0, x1 - x0, y1 - y0};
}

cv::Point2d centroid(std::span<const cv::Point2f> points) {
    cv::Point2d sum(0, 0);
    for (const auto& p : points) sum += cv::Point2d(p.x, p.y);
    return sum * (1.0 / double(points.size()));
}

namespace {
constexpr std::size_t landmarkCount = 68;

std::optional<float> outlineRatio(std::span<const cv::Point2f> points) {
    if (points.size() < 4) return std::nullopt;
    float minX = points[0].x, maxX = points[0].x, minY = points[0].y, maxY = points[0].y;
    for (const auto& p : points) {
        minX = std::min(minX, p.x);
        maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y);
        maxY = std::max(maxY, p.y);
    }
    const float width = maxX - minX;
    return width > 0 ? (maxY - minY) / width : 0.0f;
}
}  // namespace

std::optional<EyeCentres> eyeCentres(std::span<const cv::Point2f> landmarks) {
    if (landmarks.size() != landmarkCount) return std::nullopt;
    return EyeCentres{centroid(landmarks.subspan(36, 6)), centroid(landmarks.subspan(42, 6))};
}

std::optional<float> roll(std::span<const cv::Point2f> landmarks) {
    const auto eyes = eyeCentres(landmarks);
    if (!eyes) return std::nullopt;
    const cv::Point2d a = eyes->left, b = eyes->right;
    const double dx = b.x - a.x, dy = -(b.y - a.y);  // y up
    if (dx == 0 && dy == 0) return std::nullopt;
    return float(std::atan2(dy, dx));
}

std::optional<float> yaw(std::span<const cv::Point2f> landmarks, std::optional<float> roll) {
    if (landmarks.size() != landmarkCount) return std::nullopt;
    // Positions along the eye line (the roll taken out), x to the image's right.
    const double c = std::cos(double(roll.value_or(0))), s = std::sin(double(roll.value_or(0)));
    const auto along = [&](std::size_t i) { return c * landmarks[i].x - s * double(landmarks[i].y); };
    const double left = (along(0) + along(1) + along(2)) / 3, right = (along(14) + along(15) + along(16)) / 3;
    if (!(right - left > 0)) return std::nullopt;
    const double offset = 2 * (along(30) - left) / (right - left) - 1;
    return float(std::atan(offset / yawDepthRatio));
}

std::optional<LandmarkFrame> landmarkFrame(std::span<const cv::Point2f> landmarks) {
    const auto eyes = eyeCentres(landmarks);
    if (!eyes) return std::nullopt;
    const cv::Point2d mouth = centroid(landmarks.subspan(48, 20));
    return LandmarkFrame{(eyes->middle() + mouth) * 0.5, (eyes->distance() + cv::norm(mouth - eyes->middle())) / 2};
}

cv::Rect2d landmarkBox(std::span<const cv::Point2f> landmarks) {
    const auto frame = landmarkFrame(landmarks);
    if (!frame) return {};
    const cv::Point2d centre = frame->anchor + cv::Point2d(landmarkBoxOffsetX, landmarkBoxOffsetY) * frame->size;
    const double w = landmarkBoxWidth * frame->size;
    return {centre.x - w / 2, centre.y - w / 2, w, w};
}

std::optional<float> eyeOpenness(std::span<const cv::Point2f> leftEye, std::span<const cv::Point2f> rightEye) {
    float sum = 0;
    int count = 0;
    for (const auto eye : {leftEye, rightEye}) {
        if (const auto ratio = outlineRatio(eye)) {
            sum += *ratio;
            ++count;
        }
    }
    if (count == 0) return std::nullopt;
    return sum / float(count);
}

std::pair<std::vector<cv::Point2f>, std::vector<cv::Point2f>> eyeOutlines(std::span<const cv::Point2f> landmarks,
                                                                         const NormalizedRect& box, cv::Size frame,
                                                                         float roll) {
    std::pair<std::vector<cv::Point2f>, std::vector<cv::Point2f>> eyes;
    const auto centres = eyeCentres(landmarks);
    if (!centres || !(box.width > 0) || !(box.height > 0)) return eyes;
    const auto up = [&](const cv::Point2d& p) { return cv::Point2d(p.x, frame.height - p.y); };
    const cv::Point2d centre = up(centres->middle());
    const double c = std::cos(-double(roll)), s = std::sin(-double(roll));
    const auto place = [&](const cv::Point2f& p) {
        const cv::Point2d d = up(p) - centre;
        const cv::Point2d turned(centre.x + c * d.x - s * d.y, centre.y + s * d.x + c * d.y);
        return cv::Point2f(float((turned.x / frame.width - box.x) / box.width),
                           float((turned.y / frame.height - box.y) / box.height));
    };
    for (std::size_t i = 36; i < 42; ++i) eyes.first.push_back(place(landmarks[i]));
    for (std::size_t i = 42; i < 48; ++i) eyes.second.push_back(place(landmarks[i]));
    return eyes;
}
}  // namespace FaceGeometry
