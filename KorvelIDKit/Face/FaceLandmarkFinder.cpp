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
    if (scale == 1 || region.empty()) return finder.landmarks(gray, box, coarse);
    cv::Mat patch;
    cv::resize(gray(region), patch, cv::Size(), scale, scale, cv::INTER_CUBIC);
    // Resizing puts the centre of patch pixel X over (X + 0.5) / scale − 0.5 of the region.
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
