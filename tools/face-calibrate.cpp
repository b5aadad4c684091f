// face-calibrate FOLDER [FOLDER...]
//
// Computes μ, the mean raw face descriptor that DescriptorRecognizer subtracts (times λ) from every
// descriptor, from folders that each hold one folder of photos per person, and prints it as the
// constant in KorvelIDKit/Face/DescriptorCalibration.cpp. Photos of any size are accepted; faces too
// small for the detector at full size are looked for once more in the photo enlarged 2×.
#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "Face/FaceDetector.h"
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
    FaceDetector::Options options;
    options.upsampleWhenNothingFound = true;
    FaceDetector detector(options);
    DescriptorRecognizer recognizer;
    for (const auto& error : {detector.loadError(), recognizer.loadError()}) {
        if (error) {
            std::fprintf(stderr, "face-calibrate: %s\n", error->c_str());
            return 1;
        }
    }

    std::vector<double> sum(128, 0.0);
    std::size_t faces = 0, identities = 0, missed = 0;
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
            }
            identities += any;
        }
    }
    if (faces == 0) {
        std::fprintf(stderr, "face-calibrate: no faces found\n");
        return 1;
    }
    std::printf("// μ of %zu faces of %zu people (%zu photos without a usable face), folders:%s\n", faces, identities,
                missed, sources.c_str());
    std::printf("const std::array<float, 128> DescriptorRecognizer::descriptorMean = {\n");
    for (std::size_t i = 0; i < sum.size(); ++i) {
        std::printf("%s%.9gf,%s", i % 8 == 0 ? "    " : " ", sum[i] / double(faces), i % 8 == 7 ? "\n" : "");
    }
    std::printf("};\n");
    return 0;
}
