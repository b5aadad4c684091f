// The baseline build of the face finder and the run-time choice between it and the AVX2 build.
#define KORVEL_FINDER_NAMESPACE korvel_finder_baseline
#define KORVEL_FINDER_ISA "baseline"
#include "Face/FaceLandmarkFinder.inc"

#include <opencv2/imgproc.hpp>  // after the dlib unit, which brings its own headers

#include <algorithm>

#ifdef KORVEL_HAVE_AVX2_FINDER
extern "C" FaceLandmarkFinder* korvelCreateFaceFinderAvx2(const char* modelPath, std::string* error,
                                                          bool dlibReference) noexcept;
#endif

namespace {
// OpenCV's bicubic weights (a = −0.75) at fraction x of the way between the middle taps.
void cubicWeights(float x, float* w) {
    constexpr float a = -0.75f;
    w[0] = ((a * (x + 1) - 5 * a) * (x + 1) + 8 * a) * (x + 1) - 4 * a;
    w[1] = ((a + 2) * x - (a + 3)) * x * x + 1;
    w[2] = ((a + 2) * (1 - x) - (a + 3)) * (1 - x) * (1 - x) + 1;
    w[3] = 1.f - w[0] - w[1] - w[2];
}

void cubicTaps(int length, double scale, std::vector<int>& taps, std::vector<short>& weights) {
    constexpr float fixedOne = 1 << 11;
    taps.resize(std::size_t(length));
    weights.resize(4 * std::size_t(length));
    const double step = 1. / scale;
    for (int d = 0; d < length; ++d) {
        float f = float((d + 0.5) * step - 0.5);
        const int first = cvFloor(f);
        f -= float(first);
        float w[4];
        cubicWeights(f, w);
        taps[std::size_t(d)] = first - 1;
        for (std::size_t k = 0; k < 4; ++k) weights[4 * std::size_t(d) + k] = cv::saturate_cast<short>(w[k] * fixedOne);
    }
}
}  // namespace

CubicEnlargement::CubicEnlargement(const cv::Mat& source, double scale)
    : source_(source),
      scale_(scale),
      size_(cv::saturate_cast<int>(source.cols * scale), cv::saturate_cast<int>(source.rows * scale)) {
    CV_Assert(source.type() == CV_8UC1 && scale > 0);
    cubicTaps(size_.width, scale, columnTap_, columnWeights_);
    cubicTaps(size_.height, scale, rowTap_, rowWeights_);
}

void CubicEnlargement::read(const std::vector<cv::Point>& points, std::vector<float>& values) const {
    // cv::resize sums each row's four taps in integers (taps beyond the edge repeat the edge
    // pixel), then the four rows: in floats with SIMD over whole blocks of eight columns, in
    // integers for the columns left over at the right.
    const int simdColumns = size_.width - size_.width % 8;
    constexpr float unscale = 1.f / float(1 << 22);
    values.resize(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        const cv::Point p = points[i];
        if (p.x < 0 || p.y < 0 || p.x >= size_.width || p.y >= size_.height) {
            values[i] = 0;
            continue;
        }
        const int* column = &columnTap_[std::size_t(p.x)];
        const short* alpha = &columnWeights_[4 * std::size_t(p.x)];
        const short* beta = &rowWeights_[4 * std::size_t(p.y)];
        int rows[4];
        for (int k = 0; k < 4; ++k) {
            const unsigned char* s = source_.ptr<unsigned char>(std::clamp(rowTap_[std::size_t(p.y)] + k, 0, source_.rows - 1));
            int sum = 0;
            for (int j = 0; j < 4; ++j) sum += s[std::clamp(*column + j, 0, source_.cols - 1)] * alpha[j];
            rows[k] = sum;
        }
        int value;
        if (p.x < simdColumns) {
            float t = float(rows[3]) * (float(beta[3]) * unscale);
            t = float(rows[2]) * (float(beta[2]) * unscale) + t;
            t = float(rows[1]) * (float(beta[1]) * unscale) + t;
            t = float(rows[0]) * (float(beta[0]) * unscale) + t;
            value = cvRound(t);
        } else {
            value = (rows[0] * beta[0] + rows[1] * beta[1] + rows[2] * beta[2] + rows[3] * beta[3] + (1 << 21)) >> 22;
        }
        values[i] = float(cv::saturate_cast<unsigned char>(value));
    }
}

namespace FaceLandmarkFinders {

std::size_t largestBox(const std::vector<cv::Rect2d>& boxes) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < boxes.size(); ++i)
        if (boxes[i].area() > boxes[best].area()) best = i;
    return best;
}

std::vector<cv::Point2f> subpixelLandmarks(FaceLandmarkFinder& finder, const cv::Mat& gray, const cv::Rect2d& box,
                                          bool coarse) {
    constexpr double targetBox = 400, maxScale = 4;
    const double scale = std::clamp(targetBox / box.width, 1.0, maxScale);
    const cv::Rect region = cv::Rect(cv::Rect2d(box.x - box.width / 4, box.y - box.height / 4, box.width * 1.5,
                                                box.height * 1.5)) &
                            cv::Rect(0, 0, gray.cols, gray.rows);
    if (scale == 1 || region.empty() || gray.type() != CV_8UC1) return finder.landmarks(gray, box, coarse);
    const CubicEnlargement patch(gray(region), scale);
    // Enlarging puts the centre of patch pixel X over (X + 0.5) / scale − 0.5 of the region.
    const auto toPatch = [&](double v, int origin) { return (v - origin + 0.5) * scale - 0.5; };
    const cv::Rect2d scaledBox(toPatch(box.x, region.x), toPatch(box.y, region.y), box.width * scale,
                               box.height * scale);
    std::vector<cv::Point2f> points = finder.landmarks(patch, scaledBox, coarse);
    for (auto& p : points) {
        p.x = float((p.x + 0.5) / scale - 0.5 + region.x);
        p.y = float((p.y + 0.5) / scale - 0.5 + region.y);
    }
    return points;
}

bool avx2Available() {
#ifdef KORVEL_HAVE_AVX2_FINDER
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

namespace {
std::unique_ptr<FaceLandmarkFinder> create(const std::filesystem::path& landmarkModel, std::string& error,
                                           bool allowAvx2, bool dlibReference) {
    error.clear();
#ifdef KORVEL_HAVE_AVX2_FINDER
    if (allowAvx2 && avx2Available())
        return std::unique_ptr<FaceLandmarkFinder>(
            korvelCreateFaceFinderAvx2(landmarkModel.c_str(), &error, dlibReference));
#endif
    (void)allowAvx2;
    return std::unique_ptr<FaceLandmarkFinder>(
        korvel_finder_baseline::createFinder(landmarkModel.c_str(), &error, dlibReference));
}
}  // namespace

std::unique_ptr<FaceLandmarkFinder> make(const std::filesystem::path& landmarkModel, std::string& error,
                                         bool allowAvx2) {
    return create(landmarkModel, error, allowAvx2, false);
}

std::unique_ptr<FaceLandmarkFinder> makeWithDlibPredictor(const std::filesystem::path& landmarkModel,
                                                          std::string& error, bool allowAvx2) {
    return create(landmarkModel, error, allowAvx2, true);
}

}  // namespace FaceLandmarkFinders
