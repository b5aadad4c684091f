// The descriptor recogniser: each engine of the network against the plain loops, the choice of
// engine, mirror images, real people told apart, and model errors.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <thread>

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

float distance(const FaceEmbedding& a, const FaceEmbedding& b) { return FaceMatching::cosineDistance(a.vector, b.vector); }

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

TEST(DescriptorRecognizerTest, MissingWeightsAreReportedWithFileAndSetupCommand) {
    TestSupport::TempDir dir;
    DescriptorRecognizer recognizer(dir.path());
    const auto error = recognizer.loadError();
    ASSERT_TRUE(error);
    EXPECT_NE(error->find((dir / DescriptorRecognizer::manifestFileName).string()), std::string::npos) << *error;
    EXPECT_NE(error->find("scripts/setup"), std::string::npos) << *error;
    EXPECT_EQ(recognizer.weights(), nullptr);
    DetectedFace face;
    face.frame = cv::Mat(480, 640, CV_8UC3, cv::Scalar(0, 0, 0));
    face.landmarks.assign(68, cv::Point2f(320, 240));
    EXPECT_FALSE(recognizer.embedding(face));
}

TEST(DescriptorRecognizerTest, DamagedWeightsAreReportedWithTheShard) {
    KORVEL_REQUIRE_FACE_MODELS();
    TestSupport::TempDir dir;
    const auto source = DescriptorRecognizer::defaultModelDir();
    std::filesystem::copy_file(source / DescriptorRecognizer::manifestFileName, dir / DescriptorRecognizer::manifestFileName);
    const std::string shard = TestSupport::readText(source / "face_recognition_model.bin");
    TestSupport::writeText(dir / "face_recognition_model.bin", shard.substr(0, shard.size() / 2));
    DescriptorRecognizer recognizer(dir.path());
    const auto error = recognizer.loadError();
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("face_recognition_model.bin"), std::string::npos) << *error;
}

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


TEST(DescriptorRecognizerTest, EnginesMatchThePlainLoopNetworkOnRealFaces) {
    KORVEL_REQUIRE_FACE_MODELS();
    KORVEL_REQUIRE_DATA(data);
    auto& recognizer = FaceEngineTest::recognizer();
    ASSERT_FALSE(recognizer.loadError());
    for (const char* name : {"faces/dev/caltech1999_s05/1.jpg", "faces/london_pairs/london_041/2.jpg",
                             "faces/dev/debruine_lisa/3.jpg"}) {
        const auto face = FaceEngineTest::detector().detect(FaceEngineTest::readImage(data / name));
        ASSERT_TRUE(face) << name;
        const cv::Mat chip = DescriptorRecognizer::alignedChip(*face);
        ASSERT_EQ(chip.size(), cv::Size(150, 150));
        expectEnginesMatchLoops(*recognizer.weights(), chip, name);
    }
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

TEST(DescriptorRecognizerTest, EngineCanBeChosenByEnvironment) {
    using Engine = DescriptorNetwork::Engine;
    const Engine best = DescriptorNetwork::available(Engine::avx512) ? Engine::avx512
                        : DescriptorNetwork::available(Engine::avx2) ? Engine::avx2
                                                                     : Engine::opencv;
    const auto chosen = [](const char* value) {
        ::setenv("KORVEL_DESCRIPTOR_ISA", value, 1);
        const Engine e = DescriptorNetwork::preferredEngine();
        ::unsetenv("KORVEL_DESCRIPTOR_ISA");
        return e;
    };
    EXPECT_EQ(DescriptorNetwork::preferredEngine(), best);
    EXPECT_EQ(chosen("opencv"), Engine::opencv);
    EXPECT_EQ(chosen("avx2"), DescriptorNetwork::available(Engine::avx2) ? Engine::avx2 : best);
    EXPECT_EQ(chosen("avx512"), best);  // the fastest there is, when the CPU has it at all
    EXPECT_EQ(chosen("sse9"), best);
    EXPECT_EQ(chosen(""), best);
}

TEST(DescriptorRecognizerTest, MirrorImagesLieClose) {
    KORVEL_REQUIRE_FACE_MODELS();
    KORVEL_REQUIRE_DATA(data);
    for (const char* name : {"faces/dev/caltech1999_s09/2.jpg", "faces/dev/debruine_lisa/3.jpg",
                             "faces/london_pairs/london_070/1.jpg"}) {
        const cv::Mat image = FaceEngineTest::readImage(data / name);
        cv::Mat mirrored;
        cv::flip(image, mirrored, 1);
        const auto a = embeddingOf(image), b = embeddingOf(mirrored);
        ASSERT_TRUE(a && b) << name;
        EXPECT_LT(distance(*a, *b), 0.05f) << name;
    }
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
    // The calibration matters: without it these people are within the threshold of each other.
    const auto raw = [&](const char* name) {
        const auto face = FaceEngineTest::detector().detect(FaceEngineTest::readImage(data / name));
        return FaceEngineTest::recognizer().rawDescriptor(*face).value_or(std::vector<float>{});
    };
    EXPECT_LE(FaceMatching::cosineDistance(raw("faces/dev/caltech1999_s01/1.jpg"), raw("faces/dev/caltech1999_s02/1.jpg")),
              threshold);
}

TEST(DescriptorRecognizerTest, LoadsOnceAndComputesFromSeveralThreads) {
    KORVEL_REQUIRE_FACE_MODELS();
    KORVEL_REQUIRE_DATA(data);
    const auto face = FaceEngineTest::detector().detect(FaceEngineTest::readImage(data / "faces/dev/caltech1999_s10/1.jpg"));
    ASSERT_TRUE(face);
    DescriptorRecognizer recognizer;  // nothing loaded yet: the threads race to load it
    std::vector<std::optional<FaceEmbedding>> results(4);
    std::vector<std::thread> threads;
    for (auto& r : results) threads.emplace_back([&] { r = recognizer.embedding(*face); });
    for (auto& t : threads) t.join();
    for (const auto& r : results) {
        ASSERT_TRUE(r);
        EXPECT_EQ(r->vector, results[0]->vector);
    }
}
