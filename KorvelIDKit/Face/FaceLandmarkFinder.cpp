// The baseline build of the face finder and the run-time choice between it and the AVX2 build.
#define KORVEL_FINDER_NAMESPACE korvel_finder_baseline
#define KORVEL_FINDER_ISA "baseline"
#include "Face/FaceLandmarkFinder.inc"

#ifdef KORVEL_HAVE_AVX2_FINDER
extern "C" FaceLandmarkFinder* korvelCreateFaceFinderAvx2(const char* modelPath, std::string* error) noexcept;
#endif

namespace FaceLandmarkFinders {

std::size_t largestBox(const std::vector<cv::Rect2d>& boxes) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < boxes.size(); ++i)
        if (boxes[i].area() > boxes[best].area()) best = i;
    return best;
}

bool avx2Available() {
#ifdef KORVEL_HAVE_AVX2_FINDER
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

std::unique_ptr<FaceLandmarkFinder> make(const std::filesystem::path& landmarkModel, std::string& error,
                                         bool allowAvx2) {
    error.clear();
#ifdef KORVEL_HAVE_AVX2_FINDER
    if (allowAvx2 && avx2Available())
        return std::unique_ptr<FaceLandmarkFinder>(korvelCreateFaceFinderAvx2(landmarkModel.c_str(), &error));
#endif
    (void)allowAvx2;
    return std::unique_ptr<FaceLandmarkFinder>(korvel_finder_baseline::createFinder(landmarkModel.c_str(), &error));
}

}  // namespace FaceLandmarkFinders
