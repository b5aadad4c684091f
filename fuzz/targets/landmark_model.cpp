// The 68-point landmark model reader: any bytes as the model file. Reading fails with a reason or
// gives a finder whose fit on a small image yields 68 finite points (the reader's checks are all
// that stand between a damaged file and the fit).
#include <opencv2/core.hpp>

#include <cmath>

#include "Face/FaceLandmarkFinder.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto file = Fuzz::scratch() / "landmarks.dat";
    Fuzz::writeFile(file, {data, size});
    std::string error;
    const auto finder = FaceLandmarkFinders::make(file, error);
    if (!finder) {
        Fuzz::check(!error.empty(), "landmark model: refused without a reason");
        return 0;
    }
    cv::Mat gray(48, 48, CV_8UC1);
    for (int y = 0; y < gray.rows; ++y)
        for (int x = 0; x < gray.cols; ++x) gray.at<unsigned char>(y, x) = static_cast<unsigned char>(x * 5 + y * 3);
    for (const bool coarse : {false, true}) {
        const auto points = finder->landmarks(gray, cv::Rect2d(8, 8, 30, 30), coarse);
        Fuzz::check(points.size() == 68, "landmark model: a fit without 68 points");
        for (const auto& p : points) Fuzz::check(std::isfinite(p.x) && std::isfinite(p.y), "landmark model: a point is not finite");
    }
    return 0;
}
