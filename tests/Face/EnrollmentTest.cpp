// Enrolment driven by the scripted camera, detector and recogniser.
#include <gtest/gtest.h>

#include <thread>

#include "Face/AuthEngine.h"
#include "ScriptedCamera.h"
#include "Support/Logger.h"
#include "TestSupport.h"

using Scripted::Frame;
using E = EnrollmentEvent;

namespace {

const std::string notEnough = "Could not capture enough face samples. Try again in better lighting.";

// Distinct views of one face: at cosine distance 0.06 from each other (0 after 15), well within
// the match threshold of the first.
std::vector<float> direction(int i) {
    std::vector<float> v(16, 0.0f);
    v[0] = 1;
    v[static_cast<std::size_t>(1 + i % 15)] = 0.25f;
    return v;
}

class EnrollmentTest : public ::testing::Test {
protected:
    void TearDown() override {
        engine.reset();
        EXPECT_TRUE(TestSupport::cameraOff());
    }

    AuthEngine& makeEngine(std::int64_t sampleCount = 8, double window = 40, FaceStore* into = nullptr) {
        Settings s;
        s.enrollmentSampleCount = sampleCount;
        AuthEngine::Options options;
        options.enrollmentWindow = window;
        engine = Scripted::engine(into ? *into : store, script, s, options);
        return *engine;
    }

    // Frames whose faces point in directions 0 … count−1.
    void distinctFaces(int count) {
        for (int i = 0; i < count; ++i) script->frames.push_back(Frame::withEmbedding(direction(i)));
    }

    void enroll(const std::string& name = "Ada", std::stop_token stop = {}) {
        engine->enroll(name, [this](const EnrollmentEvent& e) { events.push_back(e); }, std::move(stop));
    }

    // Enrols with a short window that filler frames after the script end.
    void enrollInAShortWindow(std::int64_t sampleCount) {
        script->fillerAfter = 0.85;
        makeEngine(sampleCount, 0.6);
        enroll();
    }

    // Between runs on one script: the previous camera must be gone before the script changes.
    void nextRun() {
        engine.reset();
        events.clear();
        script->frames.clear();
    }

    std::vector<E> progressEvents() const {
        std::vector<E> out;
        std::copy_if(events.begin(), events.end(), std::back_inserter(out), [](const E& e) { return e.kind == E::Kind::progress; });
        return out;
    }

    TestSupport::TempDir dir;
    FaceStore store{dir / "enrollment.json"};
    std::shared_ptr<Scripted::Script> script = std::make_shared<Scripted::Script>();
    std::unique_ptr<AuthEngine> engine;
    std::vector<E> events;
};

TEST_F(EnrollmentTest, EightDistinctSamplesMakeAProfileWhenTheNextFrameArrives) {
    distinctFaces(9);
    makeEngine();
    bool cameraOnAtFinish = false;
    engine->enroll("Ada", [&](const EnrollmentEvent& e) {
        events.push_back(e);
        if (e.kind == E::Kind::finished) cameraOnAtFinish = engine->camera().isRunning() && engine->camera().hasOnFrame();
    });
    ASSERT_EQ(events.size(), 9u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(events[static_cast<std::size_t>(i)], E::progress(i + 1, 8));
    ASSERT_EQ(events[8].kind, E::Kind::finished);
    EXPECT_TRUE(cameraOnAtFinish) << "finished must be sent before the teardown";
    EXPECT_EQ(script->detected, 8);  // the ninth frame only ends the loop

    const FaceProfile& profile = events[8].profile;
    EXPECT_EQ(profile.name, "Ada");
    ASSERT_EQ(profile.embeddings.size(), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(profile.embeddings[static_cast<std::size_t>(i)].vector, direction(i));
    EXPECT_NEAR(profile.createdAt, Timestamp::now(), 60);
    ASSERT_EQ(store.profiles.size(), 1u);
    EXPECT_EQ(store.profiles[0], profile);
    // Saved: a fresh store reads the same profile back.
    EXPECT_EQ(FaceStore(dir / "enrollment.json").profiles, store.profiles);

    engine->camera().waitUntilSettled();
    EXPECT_FALSE(script->onFrameSetAtClose);
}

TEST_F(EnrollmentTest, AProfileThatCannotBeSavedFailsTheEnrolmentAndIsNotKept) {
    // The store's folder is a file: the save fails. A face kept only in memory would unlock until
    // the next start and then be gone, with the user told it was enrolled.
    TestSupport::writeText(dir / "blocked", "");
    FaceStore unwritable(dir / "blocked" / "enrollment.json");
    LogCapture log;
    distinctFaces(9);
    makeEngine(8, 40, &unwritable);
    enroll();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), E::failed(AuthEngine::saveFailedMessage));
    EXPECT_TRUE(unwritable.profiles.empty());
    ASSERT_FALSE(log.messages("store").empty());
    EXPECT_EQ(log.messages("store")[0].rfind("Profile save", 0), 0u) << log.messages("store")[0];
}

TEST_F(EnrollmentTest, WindowEndingWithFewerThanHalfTheTargetFailsAndWithHalfSucceeds) {
    for (int samples : {3, 4}) {
        SCOPED_TRACE(samples);
        nextRun();
        distinctFaces(samples);
        enrollInAShortWindow(8);
        ASSERT_EQ(events.size(), static_cast<std::size_t>(samples + 1));
        EXPECT_EQ(events[static_cast<std::size_t>(samples - 1)], E::progress(samples, 8));
        if (samples == 3) {
            EXPECT_EQ(events.back(), E::failed(notEnough));
            EXPECT_TRUE(store.profiles.empty());
            EXPECT_FALSE(std::filesystem::exists(dir / "enrollment.json"));
        } else {
            ASSERT_EQ(events.back().kind, E::Kind::finished);
            EXPECT_EQ(events.back().profile.embeddings.size(), 4u);
            EXPECT_EQ(store.profiles.size(), 1u);
        }
    }
}

// Diversity is measured against the last sample; being the same person against the first.
TEST_F(EnrollmentTest, DiversityComparesWithTheLastSampleOnlyAndThePersonWithTheFirst) {
    const std::vector<float> a{1, 0, 0};
    script->frames = {
        Frame::withEmbedding(a),
        Frame::withEmbedding(a),                   // identical: skipped
        Frame::withEmbedding(Scripted::near(0.019f)),  // too close to a: skipped
        Frame::withEmbedding(Scripted::near(0.021f)),  // far enough: taken
        Frame::withEmbedding({0, 1, 0}),           // someone else leaning in: skipped
        Frame::withEmbedding(Scripted::near(0.1f)),   // taken
        Frame::withEmbedding(a),                   // like the first sample but far from the last: taken
        Frame::withEmbedding({1, 0}),              // another length: not comparable, skipped
        Frame::withEmbedding({0, 0, 0}),           // zero vector: skipped
        Frame::noFace(),
    };
    enrollInAShortWindow(8);
    const auto progress = progressEvents();
    ASSERT_EQ(progress.size(), 4u);
    EXPECT_EQ(progress.back(), E::progress(4, 8));
    ASSERT_EQ(events.back().kind, E::Kind::finished);
    const auto& samples = events.back().profile.embeddings;
    EXPECT_EQ(samples[0].vector, a);
    EXPECT_EQ(samples[1].vector, Scripted::near(0.021f));
    EXPECT_EQ(samples[3].vector, a);
}

TEST_F(EnrollmentTest, PoorFramesAskForABetterFaceWithoutLosingSamples) {
    script->frames = {Frame::withEmbedding(direction(0)), Frame::noFace(), Frame::lowQuality(0.2f),
                      Frame::noEmbedding(), Frame::withEmbedding(direction(1)), Frame::noFace()};
    enrollInAShortWindow(4);
    EXPECT_EQ(events, (std::vector<E>{E::progress(1, 4), E::needBetterFace(), E::needBetterFace(), E::progress(2, 4),
                                      E::needBetterFace(), events.back()}));
    ASSERT_EQ(events.back().kind, E::Kind::finished);
    EXPECT_EQ(events.back().profile.embeddings.size(), 2u);
}

TEST_F(EnrollmentTest, CameraOrModelFailureIsTheOnlyEvent) {
    script->failOpen = [] { throw CameraError::notAuthorized(); };
    makeEngine();
    enroll();
    EXPECT_EQ(events, std::vector<E>{E::failed("Camera permission was not granted.")});
    EXPECT_FALSE(engine->camera().isRunning());

    nextRun();
    script->detectorLoadError = "Face model file landmarks.dat cannot be used (missing).";
    makeEngine();
    enroll();
    EXPECT_EQ(events, std::vector<E>{E::failed("Face model file landmarks.dat cannot be used (missing).")});
    EXPECT_EQ(script->opens, 1) << "the camera is not opened for a model problem";
}

TEST_F(EnrollmentTest, CancelWithAFrameInHandOrWhileWaitingStoresNothingSilently) {
    std::stop_source inHand;
    distinctFaces(9);
    script->onDetect = [&](int index) {
        if (index != 5) return;
        inHand.request_stop();
        ASSERT_TRUE(script->waitUntilReading(7));
    };
    makeEngine(8);
    enroll("Ada", inHand.get_token());
    EXPECT_EQ(events, progressEvents());
    EXPECT_EQ(events.size(), 6u);
    engine->camera().waitUntilSettled();
    EXPECT_EQ(script->closes, 1);

    // Enough samples, then the camera goes quiet.
    nextRun();
    script->onDetect = nullptr;
    distinctFaces(6);
    makeEngine(8);
    std::stop_source waiting;
    std::atomic<int> sent{0};  // the sixth sample's event ends that frame's work
    std::jthread canceller([&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (sent < 6 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
        waiting.request_stop();
    });
    engine->enroll("Ada", [&](const EnrollmentEvent& e) { events.push_back(e), ++sent; }, waiting.get_token());
    EXPECT_EQ(events.size(), 6u);
    EXPECT_TRUE(store.profiles.empty());
    EXPECT_FALSE(std::filesystem::exists(dir / "enrollment.json"));
}

TEST_F(EnrollmentTest, SampleCountBelowTwoNeedsOneSampleAndTheSameNameAgainKeepsEveryProfile) {
    for (std::int64_t count : {0, 1}) {
        SCOPED_TRACE(count);
        nextRun();
        distinctFaces(2);
        makeEngine(count);
        enroll("Ada");
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[0], E::progress(1, 1));
        ASSERT_EQ(events[1].kind, E::Kind::finished);
        EXPECT_EQ(events[1].profile.embeddings.size(), 1u);
    }
    // Once more, off the main thread.
    events.clear();
    std::thread::id eventThread;
    engine->enrollAsync("Ada", [&](const EnrollmentEvent& e) {
        eventThread = std::this_thread::get_id();
        events.push_back(e);
    }).get();
    EXPECT_NE(eventThread, std::this_thread::get_id());
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].kind, E::Kind::finished);
    ASSERT_EQ(store.profiles.size(), 3u);
    for (const FaceProfile& p : store.profiles) EXPECT_EQ(p.name, "Ada");
    EXPECT_NE(store.profiles[0].id, store.profiles[1].id);
    EXPECT_NE(store.profiles[1].id, store.profiles[2].id);
    EXPECT_EQ(FaceStore(dir / "enrollment.json").profiles.size(), 3u);
}

}  // namespace
