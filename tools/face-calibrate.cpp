// face-calibrate FOLDER [FOLDER...]
//
// From folders that each hold one folder of photos per person, computes and prints as source the
// box dlib's detector draws around a face, relative to its landmarks (FaceGeometry's
// landmarkBoxWidth and landmarkBoxOffsetX/Y in KorvelIDKit/Face/FaceDetector.h): the mean over all
// faces of the full-size detector box against the landmarks fitted in it. (The recogniser's
// distance scale is fitted by face-eval photos --fit.)
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
                     "Each FOLDER holds one folder of photos per person. Prints the detector's box\n"
                     "relative to the landmarks, as the constants of KorvelIDKit/Face/FaceDetector.h.\n");
        return 2;
    }
    const auto engine = FaceData::loadPhotoEngine("face-calibrate");
    if (!engine) return 1;
    FaceDetector& detector = engine->detector;

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

    double boxSum[3] = {0, 0, 0};
    std::size_t faces = 0, boxes = 0;
    for (int a = 1; a < argc; ++a) {
        const std::filesystem::path root = argv[a];
        const auto ids = FaceData::identities(root);
        if (ids.empty()) {
            std::fprintf(stderr, "face-calibrate: %s holds no folders of photos\n", root.c_str());
            return 1;
        }
        for (const auto& id : ids) {
            for (const auto& photo : id.photos) {
                const cv::Mat image = cv::imread(photo.string(), cv::IMREAD_COLOR);
                const auto face = image.empty() ? std::nullopt : detector.detect(image);
                if (!face) {
                    std::fprintf(stderr, "face-calibrate: no face in %s\n", photo.c_str());
                    continue;
                }
                ++faces;
                if (double relation[3]; boxRelation(image, relation)) {
                    for (int i = 0; i < 3; ++i) boxSum[i] += relation[i];
                    ++boxes;
                }
            }
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
    return 0;
}
