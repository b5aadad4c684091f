// face-calibrate FOLDER [FOLDER...]
//
// From folders that each hold one folder of photos per person, computes and prints as source:
//  - the box dlib's detector draws around a face, relative to its landmarks (FaceGeometry's
//    landmarkBoxWidth and landmarkBoxOffsetX/Y in KorvelIDKit/Face/FaceDetector.h): the mean over
//    all faces of the full-size detector box against the landmarks fitted in it;
//  - μ, the mean raw face descriptor that DescriptorRecognizer subtracts (times λ) from every
//    descriptor (KorvelIDKit/Face/DescriptorCalibration.cpp). The descriptors come from the
//    detector as built, so set the box constants first, rebuild, and run again for μ.
// Photos of any size are accepted; faces too small for the detector at full size are looked for
// once more in the photo enlarged 2×.
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "Face/FaceDetector.h"
#include "Face/FaceLandmarkFinder.h"
#include "Face/FaceRecognizer.h"
#include "FaceData.h"

int main(int argc, char** argv) {
    if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
        std::fprintf(stderr,
                     "usage: face-calibrate FOLDER [FOLDER...]\n"
                     "Each FOLDER holds one folder of photos per person. Prints the mean raw descriptor\n"
                     "of every face found, as the constant of KorvelIDKit/Face/DescriptorCalibration.cpp.\n");
        return 2;
    }
    const auto engine = FaceData::loadPhotoEngine("face-calibrate");
    if (!engine) return 1;
    FaceDetector& detector = engine->detector;
    DescriptorRecognizer& recognizer = engine->recognizer;

    std::string finderError;
    const auto finder = FaceLandmarkFinders::make(FaceDetector::defaultLandmarkModel(), finderError);
    if (!finder) {
        std::fprintf(stderr, "face-calibrate: %s\n", finderError.c_str());
        return 1;
    }
    // The detector's own box and the landmarks fitted in it, in units of the landmark face size.
    const auto boxRelation = [&](const cv::Mat& image, double out[3]) {
        cv::Mat gray;
        cv::cvtColor(image, gray, cv::COLOR_BGR2GRAY);
        double scale = 1;
        std::vector<cv::Rect2d> boxes = finder->faces(gray);
        if (boxes.empty()) {
            scale = 2;
            cv::resize(gray, gray, cv::Size(), scale, scale, cv::INTER_LINEAR);
            boxes = finder->faces(gray);
        }
        if (boxes.empty()) return false;
        const cv::Rect2d box = boxes[FaceLandmarkFinders::largestBox(boxes)];
        const auto landmarks = FaceLandmarkFinders::subpixelLandmarks(*finder, gray, box);
        const auto frame = FaceGeometry::landmarkFrame(landmarks);
        if (!frame || !(frame->size > 0)) return false;
        const cv::Point2d anchor = frame->anchor;
        const double s = frame->size;
        out[0] = box.width / s;
        out[1] = (box.x + box.width / 2 - anchor.x) / s;
        out[2] = (box.y + box.height / 2 - anchor.y) / s;
        return true;
    };

    std::vector<double> sum(128, 0.0);
    double boxSum[3] = {0, 0, 0};
    std::size_t faces = 0, identities = 0, missed = 0, boxes = 0;
    std::string sources;
    for (int a = 1; a < argc; ++a) {
        const std::filesystem::path root = argv[a];
        const auto ids = FaceData::identities(root);
        if (ids.empty()) {
            std::fprintf(stderr, "face-calibrate: %s holds no folders of photos\n", root.c_str());
            return 1;
        }
        sources += std::string(" ") + root.filename().string();
        for (const auto& id : ids) {
            bool any = false;
            for (const auto& photo : id.photos) {
                const cv::Mat image = cv::imread(photo.string(), cv::IMREAD_COLOR);
                const auto face = image.empty() ? std::nullopt : detector.detect(image);
                const auto raw = face ? recognizer.rawDescriptor(*face) : std::nullopt;
                if (!raw) {
                    std::fprintf(stderr, "face-calibrate: no face in %s\n", photo.c_str());
                    ++missed;
                    continue;
                }
                for (std::size_t i = 0; i < sum.size(); ++i) sum[i] += (*raw)[i];
                ++faces;
                any = true;
                if (double relation[3]; boxRelation(image, relation)) {
                    for (int i = 0; i < 3; ++i) boxSum[i] += relation[i];
                    ++boxes;
                }
            }
            identities += any;
        }
    }
    if (faces == 0) {
        std::fprintf(stderr, "face-calibrate: no faces found\n");
        return 1;
    }
    std::printf("// In FaceDetector.h, from the detector boxes of %zu faces:\n", boxes);
    if (boxes > 0)
        std::printf("inline constexpr double landmarkBoxWidth = %.4f;\n"
                    "inline constexpr double landmarkBoxOffsetX = %.4f, landmarkBoxOffsetY = %.4f;\n\n",
                    boxSum[0] / double(boxes), boxSum[1] / double(boxes), boxSum[2] / double(boxes));
    std::printf("// In DescriptorCalibration.cpp:\n");
    std::printf("// μ of %zu faces of %zu people (%zu photos without a usable face), folders:%s\n", faces, identities,
                missed, sources.c_str());
    std::printf("const std::array<float, 128> DescriptorRecognizer::descriptorMean = {\n");
    for (std::size_t i = 0; i < sum.size(); ++i) {
        std::printf("%s%.9gf,%s", i % 8 == 0 ? "    " : " ", sum[i] / double(faces), i % 8 == 7 ? "\n" : "");
    }
    std::printf("};\n");
    return 0;
}
