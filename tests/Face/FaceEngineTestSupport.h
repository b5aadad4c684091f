#pragma once
// Shared by the face-engine tests: the installed models (loaded once per test program, as loading
// the landmark model takes about a second) and the real photos.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <string>

#include "Face/FaceDetector.h"
#include "Face/FaceRecognizer.h"
#include "TestSupport.h"

namespace FaceEngineTest {
inline bool modelsInstalled() {
    std::error_code ec;
    return std::filesystem::is_regular_file(FaceDetector::defaultLandmarkModel(), ec) &&
           std::filesystem::is_regular_file(DescriptorRecognizer::defaultModelDir() / DescriptorRecognizer::manifestFileName, ec);
}

// Photos of any size, like the evaluation tools.
inline FaceDetector& detector() {
    static FaceDetector instance([] {
        FaceDetector::Options o;
        o.upsampleWhenNothingFound = true;
        o.followFace = false;
        return o;
    }());
    return instance;
}

inline DescriptorRecognizer& recognizer() {
    static DescriptorRecognizer instance;
    return instance;
}

inline cv::Mat readImage(const std::filesystem::path& path) {
    cv::Mat image = cv::imread(path.string(), cv::IMREAD_COLOR);
    EXPECT_FALSE(image.empty()) << path;
    return image;
}
}  // namespace FaceEngineTest

#define KORVEL_REQUIRE_FACE_MODELS()                                                                  \
    if (!::FaceEngineTest::modelsInstalled())                                                          \
    KORVEL_SKIP() << "face models not installed (run scripts/setup)"
