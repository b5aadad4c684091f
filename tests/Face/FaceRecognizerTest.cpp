// The descriptor recogniser: each engine of the network against the plain loops, real people told
// apart, and faces it cannot use. (A missing or damaged weights file is the weights reader's test;
// the scan stopping on it before the camera starts is the auth engine's.)
#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <thread>
#include <tuple>

#include "FaceEngineTestSupport.h"
#include "Support/Logger.h"
#include "Face/FaceDescriptorNet.h"
#include "Face/TfjsWeights.h"

namespace {
std::optional<FaceEmbedding> embeddingOf(const cv::Mat& image) {
    const auto face = FaceEngineTest::detector().detect(image);
    if (!face) return std::nullopt;
    return FaceEngineTest::recognizer().embedding(*face);
}

float distance(const FaceEmbedding& a, const FaceEmbedding& b) {
    return FaceEngineTest::recognizer().distance(a.vector, b.vector);
}

// Every engine this CPU runs (own kernels for each instruction set, the OpenCV graph) against the
// plain loops, on one chip.
void expectEnginesMatchLoops(const TfjsWeights& weights, const cv::Mat& chip, const std::string& what) {
    const auto loops = FaceDescriptorNet::referenceDescriptor(weights, chip);
    double norm = 0;
    for (float v : loops) norm += double(v) * v;
    EXPECT_GT(std::sqrt(norm), 0.5) << what;  // a real descriptor, not zeros
    int engines = 0;
    for (const auto engine : {DescriptorNetwork::Engine::avx512, DescriptorNetwork::Engine::avx2,
                              DescriptorNetwork::Engine::opencv}) {
        if (!DescriptorNetwork::available(engine)) continue;
        ++engines;
        DescriptorNetwork network(weights, engine);
        ASSERT_EQ(network.engine(), engine);
        for (int run = 0; run < 2; ++run) {  // the second run reuses the first one's buffers
            const auto v = network.compute(chip);
            ASSERT_EQ(v.size(), 128u);
            double worst = 0;
            for (std::size_t i = 0; i < 128; ++i) worst = std::max(worst, double(std::fabs(v[i] - loops[i])));
            EXPECT_LT(worst, 1e-4) << what << " with " << DescriptorNetwork::engineName(engine) << ", run " << run;
        }
    }
    EXPECT_GE(engines, 1);
}
}  // namespace

TEST(DescriptorRecognizerTest, FacesWithoutLandmarksGiveNoEmbedding) {
    KORVEL_REQUIRE_FACE_MODELS();
    LogCapture log;
    DetectedFace face;
    // A crop of zero width (a face at the frame's edge): nothing, quietly.
    face.frame = cv::Mat(480, 640, CV_8UC3, cv::Scalar(0, 0, 0));
    face.crop = face.frame(cv::Rect(640, 100, 0, 200));
    EXPECT_FALSE(FaceEngineTest::recognizer().embedding(face));
    EXPECT_EQ(log.messages("face"), std::vector<std::string>{});

    face.frame = cv::Mat(480, 640, CV_8UC3, cv::Scalar(0, 0, 0));
    face.crop = face.frame(cv::Rect(100, 100, 200, 200));
    EXPECT_FALSE(FaceEngineTest::recognizer().embedding(face));
    face.landmarks.assign(5, cv::Point2f(320, 240));
    EXPECT_FALSE(FaceEngineTest::recognizer().embedding(face));
    face.landmarks.assign(68, cv::Point2f(std::nanf(""), 240));
    EXPECT_FALSE(FaceEngineTest::recognizer().embedding(face));
    EXPECT_TRUE(DescriptorRecognizer::alignedChip(face).empty());
}

TEST(DescriptorRecognizerTest, EnginesMatchThePlainLoopNetworkOnNoise) {
    KORVEL_REQUIRE_FACE_MODELS();
    auto& recognizer = FaceEngineTest::recognizer();
    ASSERT_FALSE(recognizer.loadError());
    cv::Mat chip(150, 150, CV_8UC3);
    cv::RNG(7).fill(chip, cv::RNG::UNIFORM, 0, 256);
    expectEnginesMatchLoops(*recognizer.weights(), chip, "noise");
    // The recogniser runs the preferred engine.
    const auto raw = recognizer.rawDescriptorOfChip(chip);
    ASSERT_TRUE(raw);
    DescriptorNetwork preferred(*recognizer.weights(), DescriptorNetwork::preferredEngine());
    EXPECT_EQ(*raw, preferred.compute(chip));
}

TEST(DescriptorRecognizerTest, TellsRealPeopleApart) {
    KORVEL_REQUIRE_FACE_MODELS();
    KORVEL_REQUIRE_DATA(data);
    const auto e = [&](const char* name) {
        auto v = embeddingOf(FaceEngineTest::readImage(data / name));
        EXPECT_TRUE(v) << name;
        return v.value_or(FaceEmbedding{});
    };
    const float threshold = FaceEngineTest::recognizer().defaultThreshold();
    // Two photos of one person match, in different sessions and expressions.
    EXPECT_LE(distance(e("faces/dev/caltech1999_s01/1.jpg"), e("faces/dev/caltech1999_s01/7.jpg")), threshold);
    EXPECT_LE(distance(e("faces/dev/debruine_lisa/1.jpg"), e("faces/dev/debruine_lisa/6.jpg")), threshold);
    EXPECT_LE(distance(e("faces/london_pairs/london_012/1.jpg"), e("faces/london_pairs/london_012/2.jpg")), threshold);
    // Different people do not.
    EXPECT_GT(distance(e("faces/dev/caltech1999_s01/1.jpg"), e("faces/dev/caltech1999_s02/1.jpg")), threshold);
    EXPECT_GT(distance(e("faces/dev/debruine_lisa/1.jpg"), e("faces/london_pairs/london_001/1.jpg")), threshold);
    EXPECT_GT(distance(e("faces/london_pairs/london_003/1.jpg"), e("faces/london_pairs/london_004/1.jpg")), threshold);
    // The scale matters: by plain cosine distance these people are within the threshold of each other.
    const auto raw = [&](const char* name) {
        const auto face = FaceEngineTest::detector().detect(FaceEngineTest::readImage(data / name));
        return FaceEngineTest::recognizer().rawDescriptor(*face).value_or(std::vector<float>{});
    };
    EXPECT_LE(FaceMatching::cosineDistance(raw("faces/dev/caltech1999_s01/1.jpg"), raw("faces/dev/caltech1999_s02/1.jpg")),
              threshold);
}

// An enrolment file of the previous engine (raw − 0.80·μ, no engine name) still matches, as near as
// one enrolled now from the same photos, and matching leaves the file as it was.
TEST(DescriptorRecognizerTest, ProfilesEnrolledByThePreviousEngineStillMatch) {
    KORVEL_REQUIRE_FACE_MODELS();
    KORVEL_REQUIRE_DATA(data);
    auto& recognizer = FaceEngineTest::recognizer();
    const auto raw = [&](const char* name) {
        const auto face = FaceEngineTest::detector().detect(FaceEngineTest::readImage(data / name));
        return face ? recognizer.rawDescriptor(*face).value_or(std::vector<float>{}) : std::vector<float>{};
    };
    const std::vector<std::vector<float>> ada{raw("faces/dev/caltech1999_s01/1.jpg"), raw("faces/dev/caltech1999_s01/4.jpg")},
        lisa{raw("faces/dev/debruine_lisa/1.jpg")};
    std::string json = "[";
    for (const auto& [id, name, photos] : {std::tuple{"E621E1F8-C36C-495A-93FC-0C247A3E6E5F", "Ada", ada},
                                           std::tuple{"00000000-0000-4000-8000-000000000001", "Lisa", lisa}}) {
        json += std::string(json.size() > 1 ? "," : "") + R"({"id":")" + id + R"(","name":")" + name + R"(","embeddings":[)";
        for (std::size_t i = 0; i < photos.size(); ++i) {
            json += i ? R"(,{"vector":[)" : R"({"vector":[)";
            const auto legacy = DescriptorRecognizer::legacyEmbedding(photos[i]);
            for (std::size_t k = 0; k < legacy.size(); ++k) json += (k ? "," : "") + strprintf("%.9g", double(legacy[k]));
            json += "]}";
        }
        json += R"(],"createdAt":786297600.5})";
    }
    json += "]";
    TestSupport::TempDir dir;
    TestSupport::writeText(dir / "enrollment.json", json);
    FaceStore store(dir / "enrollment.json");
    ASSERT_EQ(store.profiles.size(), 2u);

    const auto probe = embeddingOf(FaceEngineTest::readImage(data / "faces/dev/caltech1999_s01/7.jpg"));
    ASSERT_TRUE(probe);
    const BestMatch m = FaceMatching::bestMatch(store.profiles, *probe, recognizer);
    EXPECT_EQ(m.name, std::optional<std::string>("Ada"));
    EXPECT_LE(m.distance, recognizer.defaultThreshold());
    FaceProfile now{Uuid::random(), "Ada", {{ada[0]}, {ada[1]}}, 0, recognizer.engineName()};
    EXPECT_NEAR(FaceMatching::bestMatch({now}, *probe, recognizer).distance, m.distance, 1e-4f);
    const auto stranger = embeddingOf(FaceEngineTest::readImage(data / "faces/london_pairs/london_003/1.jpg"));
    ASSERT_TRUE(stranger);
    EXPECT_GT(FaceMatching::bestMatch(store.profiles, *stranger, recognizer).distance, recognizer.defaultThreshold());
    // Embeddings of an engine this one does not know are never compared.
    FaceProfile foreign = store.profiles[0];
    foreign.engine = "SomeOtherEngine";
    EXPECT_FALSE(FaceMatching::bestMatch({foreign}, *probe, recognizer).name);
    EXPECT_EQ(TestSupport::readText(dir / "enrollment.json"), json);
}

// Both models load lazily, on whichever thread comes first: four threads race to load each.
TEST(FaceModelsTest, LoadOnceAndComputeFromSeveralThreads) {
    KORVEL_REQUIRE_FACE_MODELS();
    KORVEL_REQUIRE_DATA(data);
    const cv::Mat photo = FaceEngineTest::readImage(data / "faces/dev/caltech1999_s10/1.jpg");
    FaceDetector::Options options;
    options.followFace = false;  // the same answer for every call
    FaceDetector detector(options);
    DescriptorRecognizer recognizer;
    std::vector<std::optional<FaceEmbedding>> results(4);
    std::vector<std::thread> threads;
    for (auto& r : results) threads.emplace_back([&] { if (const auto face = detector.detect(photo)) r = recognizer.embedding(*face); });
    for (auto& t : threads) t.join();
    for (const auto& r : results) {
        ASSERT_TRUE(r);
        EXPECT_EQ(r->vector, results[0]->vector);
    }
}
