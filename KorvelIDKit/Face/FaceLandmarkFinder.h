#pragma once
// The face finder behind FaceDetector: dlib's HOG frontal-face detector and its 68-point shape
// predictor. It is built twice, for baseline x86-64 and for AVX2 + FMA (FaceLandmarkFinder_avx2.cpp),
// and the build for this CPU is chosen at run time. Only plain OpenCV and standard types cross this
// interface, so callers never see a dlib type compiled for either instruction set.
#include <opencv2/core.hpp>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

// `source` (CV_8UC1) enlarged `scale` times exactly as cv::resize(…, INTER_CUBIC) enlarges it, but only
// at the pixels asked for: a landmark fit reads a few thousand pixels of an enlargement of several
// hundred thousand. Built in the baseline unit, so its float steps round as OpenCV's do.
class CubicEnlargement {
public:
    CubicEnlargement(const cv::Mat& source, double scale);
    cv::Size size() const { return size_; }
    double scale() const { return scale_; }
    const cv::Mat& source() const { return source_; }
    // The enlargement's pixels at `points`; 0 for points outside it.
    void read(const std::vector<cv::Point>& points, std::vector<float>& values) const;

private:
    cv::Mat source_;
    double scale_;
    cv::Size size_;
    // Per column and per row of the enlargement: the source pixel before which its four taps start
    // and their weights in 11-bit fixed point.
    std::vector<int> columnTap_, rowTap_;
    std::vector<short> columnWeights_, rowWeights_;
};

class FaceLandmarkFinder {
public:
    virtual ~FaceLandmarkFinder() = default;
    // Face boxes in `gray`'s pixels (origin top left), in the detector's order. `gray`: CV_8UC1.
    // `fewScales`: only faces from 80 px to 80·1.2^(fewScalesLevels−1) px wide.
    virtual std::vector<cv::Rect2d> faces(const cv::Mat& gray, bool fewScales = false) = 0;
    // The 68 points (iBUG 300-W order) of the face in `box`, in `gray`'s pixels. `coarse`: from the
    // predictor's first coarseCascades stages only (a third of the cost), good enough to place a box.
    virtual std::vector<cv::Point2f> landmarks(const cv::Mat& gray, const cv::Rect2d& box, bool coarse = false) = 0;
    // The same on an enlarged image, `box` in its pixels.
    virtual std::vector<cv::Point2f> landmarks(const CubicEnlargement& image, const cv::Rect2d& box,
                                               bool coarse = false) = 0;
    // "avx2" or "baseline".
    virtual const char* instructionSet() const = 0;
};

namespace FaceLandmarkFinders {
// Reads the 68-point model. Picks the AVX2 build when `allowAvx2` is set, the program contains it
// and the CPU has AVX2 and FMA. Nothing, with `error` set to the reason, when the model cannot be read.
std::unique_ptr<FaceLandmarkFinder> make(const std::filesystem::path& landmarkModel, std::string& error,
                                         bool allowAvx2 = true);
// The same finder with dlib::shape_predictor itself fitting the landmarks, to check the finder's own
// fit against: as slow as dlib, and it holds a second copy of the model.
std::unique_ptr<FaceLandmarkFinder> makeWithDlibPredictor(const std::filesystem::path& landmarkModel,
                                                          std::string& error, bool allowAvx2 = true);
// Whether make() would pick the AVX2 build.
bool avx2Available();
// The detector's window is 80 px and its scales step by 6/5: boxes narrower than this many pixels
// come from its two finest scales.
inline constexpr double refineBelow = 96;
inline constexpr double windowSize = 80, scaleStep = 1.2;
inline constexpr unsigned fewScalesLevels = 4;
inline constexpr std::size_t coarseCascades = 5;
// The index of the box with the largest area, the first of equal ones (boxes must not be empty).
std::size_t largestBox(const std::vector<cv::Rect2d>& boxes);
// The 68 landmarks of the face in `box` at sub-pixel precision. dlib reports landmarks in whole
// pixels, a coarse step on eyes only a few pixels high, so the predictor runs on the face's region
// enlarged (bicubically, which keeps lid edges sharp) to a box of about 400 px. Only the pixels the
// predictor reads are computed.
std::vector<cv::Point2f> subpixelLandmarks(FaceLandmarkFinder& finder, const cv::Mat& gray, const cv::Rect2d& box,
                                          bool coarse = false);
}  // namespace FaceLandmarkFinders
