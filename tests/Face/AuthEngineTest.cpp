// The authentication scan driven frame by frame by a scripted camera, detector and recogniser.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "Face/AuthEngine.h"
#include "Face/CameraActivity.h"
#include "ScriptedCamera.h"
#include "Support/Logger.h"
#include "TestSupport.h"

using Scripted::Frame;
using Scripted::near;
using S = ScanStatus;
using Clock = std::chrono::steady_clock;

namespace {

const std::vector<float> alice{1, 0, 0};
const std::vector<float> bob{0, 0, 1};
const std::vector<float> far{0, -1, 0};  // at distance 1 from everybody enrolled
constexpr float open = 0.30f;
constexpr float closed = 0.10f;
const std::string spoofLine = "Identity matched but no blink detected \u2014 rejected (possible spoof).";

class AuthEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        store.profiles = {Scripted::profile("alice", {alice}), Scripted::profile("bob", {bob})};
    }

    void TearDown() override {
        engine.reset();
        EXPECT_TRUE(TestSupport::waitUntil([] { return CameraActivity::shared().activeCount() == 0; }))
            << "the camera activity count did not return to 0";
    }

    AuthEngine& makeEngine(Settings settings, AuthEngine::Options options = {}, bool halvingScale = false) {
        if (!options.cameraClock) options.cameraClock = Scripted::steppingClock();
        engine = std::make_unique<AuthEngine>(store, std::make_unique<Scripted::Detector>(script, halvingScale),
                                              std::make_unique<Scripted::Recognizer>(script), std::move(settings),
                                              Scripted::sourceFactory(script), std::move(options));
        script->camera = &engine->camera();
        return *engine;
    }

    static Settings livenessOff(std::int64_t required = 2) {
        Settings s;
        s.requireLiveness = false;
        s.requiredConsecutiveMatches = required;
        return s;
    }
    static Settings livenessOn(std::int64_t required = 2) {
        Settings s;
        s.requiredConsecutiveMatches = required;
        return s;
    }
    // A short window that the script ends with filler frames falling after the deadline.
    void endWindowAfterScript(Settings& s) {
        s.scanTimeout = 0.6;
        script->fillerAfter = 0.85;
    }

    // Between runs on one script: the previous camera must be gone before the script changes.
    void nextRun() {
        engine.reset();
        statuses.clear();
    }

    AuthResult scan(std::stop_token stop = {}) {
        return engine->authenticate([this](const ScanStatus& s) { statuses.push_back(s); }, std::move(stop));
    }

    TestSupport::TempDir dir;
    FaceStore store{dir / "enrollment.json"};
    std::shared_ptr<Scripted::Script> script = std::make_shared<Scripted::Script>();
    std::unique_ptr<AuthEngine> engine;
    LogCapture log;
    std::vector<ScanStatus> statuses;
};

TEST_F(AuthEngineTest, NobodyEnrolledReturnsNoMatchWithoutTouchingTheCamera) {
    store.profiles.clear();
    makeEngine(livenessOn());
    EXPECT_EQ(scan(), AuthResult::noMatch(std::nullopt));
    EXPECT_EQ(script->opens, 0);
    EXPECT_TRUE(statuses.empty());
    EXPECT_FALSE(log.contains("Camera session started."));
}

TEST_F(AuthEngineTest, CameraFailuresReturnTheirTextAndReportNothing) {
    struct Case {
        CameraError error;
        std::string text;
    };
    for (const auto& c : {Case{CameraError::notAuthorized(), "Camera permission was not granted."},
                          Case{CameraError::noDevice(), "No usable camera found."},
                          Case{CameraError::configurationFailed("Could not add input."),
                               "Camera configuration failed: Could not add input."}}) {
        nextRun();
        script->failOpen = [e = c.error] { throw e; };
        makeEngine(livenessOn());
        EXPECT_EQ(scan(), AuthResult::cameraError(c.text));
        EXPECT_TRUE(statuses.empty());
        EXPECT_FALSE(engine->camera().isRunning());
    }
    // Any other failure of the camera is reported by its own description.
    nextRun();
    script->failOpen = [] { throw std::runtime_error("driver went away"); };
    makeEngine(livenessOn());
    EXPECT_EQ(scan(), AuthResult::cameraError("driver went away"));
    EXPECT_FALSE(log.contains("Camera session started."));
}

TEST_F(AuthEngineTest, ModelProblemIsReportedAsCameraErrorBeforeTheCameraStarts) {
    script->recognizerLoadError = "Face model file weights.bin cannot be used (missing).";
    makeEngine(livenessOn());
    EXPECT_EQ(scan(), AuthResult::cameraError("Face model file weights.bin cannot be used (missing)."));
    script->detectorLoadError = "Face model file landmarks.dat cannot be used (damaged).";
    EXPECT_EQ(scan(), AuthResult::cameraError("Face model file landmarks.dat cannot be used (damaged)."));
    EXPECT_EQ(script->opens, 0);
    EXPECT_TRUE(statuses.empty());
}

TEST_F(AuthEngineTest, EveryRowOfTheStatusTable) {
    // No liveness, three in a row: each kind of frame once, then the run completes.
    script->frames = {Frame::noFace(),
                      Frame::lowQuality(0.34f),
                      Frame::noEmbedding(),
                      Frame::withEmbedding(far),
                      Frame::withEmbedding(near(0.1f)),
                      Frame::withEmbedding(near(0.05f)),
                      Frame::withEmbedding(alice)};
    makeEngine(livenessOff(3));
    const AuthResult result = scan();
    EXPECT_EQ(result, AuthResult::matched("alice", 0.0f));
    EXPECT_EQ(statuses, (std::vector<S>{S::searching(), S::searching(), S::faceFound(), S::faceFound(), S::faceFound(),
                                        S::faceFound(), S::progress(1, 3), S::faceFound(), S::progress(2, 3),
                                        S::faceFound()}));
    EXPECT_TRUE(log.contains("Match: alice (distance 0.000000, blinks 0)"));
}

TEST_F(AuthEngineTest, EachUnusableFrameResetsTheStreakButKeepsTheCandidate) {
    const std::vector<Frame> breakers{Frame::noFace(), Frame::lowQuality(0.1f), Frame::noEmbedding(),
                                      Frame::withEmbedding(far)};
    for (const Frame& breaker : breakers) {
        nextRun();
        script->frames = {Frame::withEmbedding(near(0.1f)), Frame::withEmbedding(near(0.1f)), breaker,
                          Frame::withEmbedding(near(0.1f)), Frame::withEmbedding(near(0.1f)),
                          Frame::withEmbedding(near(0.2f))};
        makeEngine(livenessOff(3));
        const AuthResult result = scan();
        ASSERT_EQ(result.kind, AuthResult::Kind::matched);
        EXPECT_NEAR(result.distance, 0.2f, 1e-4f);
        std::vector<S> progress;
        for (const S& s : statuses)
            if (s.kind == S::Kind::progress) progress.push_back(s);
        EXPECT_EQ(progress, (std::vector<S>{S::progress(1, 3), S::progress(2, 3), S::progress(1, 3), S::progress(2, 3)}));
    }
}

TEST_F(AuthEngineTest, OneOrFewerRequiredMatchesDecideOnTheFirstMatchingFrame) {
    for (std::int64_t required : {1, 0, -3}) {
        nextRun();
        script->frames = {Frame::withEmbedding(far), Frame::withEmbedding(near(0.1f))};
        makeEngine(livenessOff(required));
        const AuthResult result = scan();
        EXPECT_EQ(result.kind, AuthResult::Kind::matched) << required;
        EXPECT_EQ(statuses, (std::vector<S>{S::faceFound(), S::faceFound(), S::faceFound()})) << required;
    }
}

TEST_F(AuthEngineTest, DistanceEqualToTheThresholdMatchesAndJustAboveDoesNot) {
    const std::vector<float> q = near(0.25f);
    const float d = FaceMatching::cosineDistance(q, alice);
    Settings s = livenessOff(1);
    s.matchThreshold = d;
    script->frames = {Frame::withEmbedding(q)};
    makeEngine(s);
    EXPECT_EQ(scan(), AuthResult::matched("alice", d));

    nextRun();
    s.matchThreshold = std::nextafter(d, 0.0f);
    endWindowAfterScript(s);
    makeEngine(s);
    EXPECT_EQ(scan(), AuthResult::noMatch(d));
    EXPECT_EQ(statuses, (std::vector<S>{S::faceFound(), S::faceFound()}));
}

TEST_F(AuthEngineTest, AbsentThresholdMeansPointThirty) {
    Settings s = livenessOff(1);
    s.matchThreshold.reset();
    endWindowAfterScript(s);
    script->frames = {Frame::withEmbedding(near(0.32f)), Frame::withEmbedding(near(0.28f))};
    makeEngine(s);
    const AuthResult result = scan();
    ASSERT_EQ(result.kind, AuthResult::Kind::matched);
    EXPECT_NEAR(result.distance, 0.28f, 1e-4f);
}

TEST_F(AuthEngineTest, LivenessNeedsABlinkAfterTheRunAndApprovesOnTheNextMatchAfterIt) {
    script->frames = {Frame::withEmbedding(near(0.1f), open), Frame::withEmbedding(near(0.1f), open),
                      Frame::withEmbedding(near(0.1f), closed), Frame::withEmbedding(near(0.05f), open)};
    makeEngine(livenessOn(2));
    const AuthResult result = scan();
    ASSERT_EQ(result.kind, AuthResult::Kind::matched);
    EXPECT_NEAR(result.distance, 0.05f, 1e-4f);
    EXPECT_EQ(statuses, (std::vector<S>{S::faceFound(), S::progress(1, 2), S::faceFound(), S::needBlink(),
                                        S::faceFound(), S::needBlink(), S::faceFound()}));
    const auto lines = log.messages("auth");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("Match: alice (distance 0.0")) << lines[0];
    EXPECT_TRUE(lines[0].ends_with(", blinks 1)")) << lines[0];
}

TEST_F(AuthEngineTest, BlinkBeforeTheRunCompletesApprovesOnTheFrameThatCompletesIt) {
    script->frames = {Frame::withEmbedding(near(0.1f), open), Frame::withEmbedding(near(0.1f), closed),
                      Frame::withEmbedding(near(0.1f), open), Frame::withEmbedding(near(0.1f), open)};
    makeEngine(livenessOn(3));
    EXPECT_EQ(scan().kind, AuthResult::Kind::matched);
    EXPECT_EQ(statuses, (std::vector<S>{S::faceFound(), S::progress(1, 3), S::faceFound(), S::progress(2, 3),
                                        S::faceFound()}));
    EXPECT_EQ(script->detected, 3);
}

TEST_F(AuthEngineTest, TrackerIsFedOnlyFromUsableFacesWithAnOpennessValue) {
    // The closed eye is seen only on a frame of low quality, so no blink is counted.
    Settings s = livenessOn(1);
    endWindowAfterScript(s);
    script->frames = {Frame::withEmbedding(near(0.1f), open), Frame::lowQuality(0.1f, closed),
                      Frame::withEmbedding(near(0.1f)), Frame::withEmbedding(near(0.1f), open)};
    makeEngine(s);
    EXPECT_EQ(scan().kind, AuthResult::Kind::noMatch);
    EXPECT_EQ(statuses, (std::vector<S>{S::faceFound(), S::needBlink(), S::searching(), S::faceFound(), S::needBlink(),
                                        S::faceFound(), S::needBlink()}));
    EXPECT_TRUE(log.contains(spoofLine));
}

TEST_F(AuthEngineTest, OpennessGoesThroughTheScansOwnScale) {
    // Raw 0.6 / 0.2 / 0.6 is open / closed / open only after halving.
    script->frames = {Frame::withEmbedding(near(0.1f), 0.6f), Frame::withEmbedding(near(0.1f), 0.2f),
                      Frame::withEmbedding(near(0.1f), 0.6f)};
    makeEngine(livenessOn(1), {}, /*halvingScale=*/true);
    EXPECT_EQ(scan().kind, AuthResult::Kind::matched);
    ASSERT_EQ(script->opennessTimes.size(), 3u);
    EXPECT_TRUE(std::is_sorted(script->opennessTimes.begin(), script->opennessTimes.end()));
    EXPECT_LT(script->opennessTimes.front(), script->opennessTimes.back());
}

TEST_F(AuthEngineTest, AbsentLivenessRequirementMeansRequired) {
    Settings s = livenessOn(1);
    s.requireLiveness.reset();
    endWindowAfterScript(s);
    script->frames = {Frame::withEmbedding(near(0.1f), open)};
    makeEngine(s);
    EXPECT_EQ(scan().kind, AuthResult::Kind::noMatch);
    EXPECT_EQ(statuses, (std::vector<S>{S::faceFound(), S::needBlink()}));
}

// MARK: - End of the window

TEST_F(AuthEngineTest, WindowWithoutAnyComparedFaceIsNoFace) {
    Settings s = livenessOn();
    endWindowAfterScript(s);
    script->frames = {Frame::noFace(), Frame::lowQuality(0.2f), Frame::noEmbedding()};
    makeEngine(s);
    EXPECT_EQ(scan(), AuthResult::noFace());
    EXPECT_EQ(statuses, (std::vector<S>{S::searching(), S::searching(), S::faceFound()}));
}

TEST_F(AuthEngineTest, FaceThatNeverMatchesIsNoMatchWithTheBestDistance) {
    Settings s = livenessOff();
    endWindowAfterScript(s);
    script->frames = {Frame::withEmbedding(near(0.6f)), Frame::withEmbedding(near(0.4f)),
                      Frame::withEmbedding(near(0.5f))};
    makeEngine(s);
    const AuthResult result = scan();
    ASSERT_EQ(result.kind, AuthResult::Kind::noMatch);
    ASSERT_TRUE(result.bestDistance);
    EXPECT_NEAR(*result.bestDistance, 0.4f, 1e-4f);
    EXPECT_EQ(statuses, std::vector<S>(6, S::faceFound()));
}

TEST_F(AuthEngineTest, WithoutLivenessOneMatchingFrameAnywhereApprovesAtTheEnd) {
    Settings s = livenessOff(2);
    endWindowAfterScript(s);
    script->frames = {Frame::withEmbedding(near(0.12f)), Frame::noFace(), Frame::withEmbedding(far), Frame::noFace()};
    makeEngine(s);
    const AuthResult result = scan();
    ASSERT_EQ(result.kind, AuthResult::Kind::matched);
    EXPECT_EQ(result.name, "alice");
    EXPECT_NEAR(result.distance, 0.12f, 1e-4f);
    EXPECT_TRUE(log.contains("Match (no liveness): alice"));
}

TEST_F(AuthEngineTest, MatchWithoutBlinkIsRejectedAsPossibleSpoof) {
    Settings s = livenessOn(2);
    endWindowAfterScript(s);
    script->frames = {Frame::withEmbedding(near(0.1f), open), Frame::withEmbedding(near(0.08f), open),
                      Frame::withEmbedding(near(0.09f), open)};
    makeEngine(s);
    const AuthResult result = scan();
    ASSERT_EQ(result.kind, AuthResult::Kind::noMatch);
    EXPECT_NEAR(*result.bestDistance, 0.08f, 1e-4f);
    EXPECT_EQ(statuses, (std::vector<S>{S::faceFound(), S::progress(1, 2), S::faceFound(), S::needBlink(),
                                        S::faceFound(), S::needBlink()}));
    EXPECT_EQ(log.messages("auth"), std::vector<std::string>{spoofLine});
}

TEST_F(AuthEngineTest, CandidateWithABlinkButNoCompletedRunIsDeniedQuietly) {
    Settings s = livenessOn(3);
    endWindowAfterScript(s);
    script->frames = {Frame::withEmbedding(near(0.1f), open), Frame::withEmbedding(near(0.1f), closed),
                      Frame::withEmbedding(far, open)};
    makeEngine(s);
    const AuthResult result = scan();
    ASSERT_EQ(result.kind, AuthResult::Kind::noMatch);
    EXPECT_NEAR(*result.bestDistance, 0.1f, 1e-4f);
    EXPECT_TRUE(log.messages("auth").empty());
}

TEST_F(AuthEngineTest, WatchdogEndsAScanWithoutFramesAfterAtLeastOneSecond) {
    Settings s = livenessOn();
    s.scanTimeout = -5;  // the watchdog still waits a second
    makeEngine(s);
    const auto started = Clock::now();
    EXPECT_EQ(scan(), AuthResult::noFace());
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_GE(elapsed, 0.95);
    EXPECT_LT(elapsed, 3.0);
    EXPECT_TRUE(statuses.empty());

    s.scanTimeout = 0.5;  // scanTimeout + 1
    makeEngine(s);
    const auto again = Clock::now();
    EXPECT_EQ(scan(), AuthResult::noFace());
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - again).count(), 1.45);
}

// MARK: - Cancellation and teardown

TEST_F(AuthEngineTest, CancelWithAFrameInHandReturnsCancelled) {
    std::stop_source stop;
    script->frames = {Frame::withEmbedding(near(0.1f)), Frame::withEmbedding(near(0.1f)),
                      Frame::withEmbedding(near(0.1f))};
    script->onDetect = [&](int index) {
        if (index != 0) return;
        stop.request_stop();
        ASSERT_TRUE(script->waitUntilReading(2));  // frame 1 is waiting in the stream
    };
    makeEngine(livenessOff(3));
    EXPECT_EQ(scan(stop.get_token()), AuthResult::cancelled());
    EXPECT_EQ(script->detected, 1);
    EXPECT_FALSE(log.contains("Match (no liveness): alice"));
}

TEST_F(AuthEngineTest, CancelWhileWaitingIsJudgedAsTheEndOfTheWindow) {
    std::stop_source stop;
    script->frames = {Frame::withEmbedding(near(0.1f))};  // then the camera goes quiet
    makeEngine(livenessOff(2));
    std::jthread canceller([&] {
        script->waitUntilDetected(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop.request_stop();
    });
    const auto started = Clock::now();
    const AuthResult result = scan(stop.get_token());
    EXPECT_EQ(result.kind, AuthResult::Kind::matched);  // one matching frame without liveness
    EXPECT_TRUE(log.contains("Match (no liveness): alice"));
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - started).count(), 3.0);  // long before the watchdog
}

TEST_F(AuthEngineTest, TeardownClearsTheFrameCallbackBeforeTheCameraStopsAndCancelsTheWatchdog) {
    Settings s = livenessOff(1);
    s.scanTimeout = 30;  // a watchdog left running would hold the scan for 31 s
    script->frames = {Frame::withEmbedding(alice)};
    makeEngine(s);
    const auto started = Clock::now();
    EXPECT_EQ(scan().kind, AuthResult::Kind::matched);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - started).count(), 5.0);
    engine->camera().waitUntilSettled();
    EXPECT_EQ(script->closes, 1);
    EXPECT_FALSE(script->onFrameSetAtClose);
    EXPECT_FALSE(engine->camera().isRunning());
    const auto camera = log.messages("camera");
    ASSERT_EQ(camera.size(), 3u);
    EXPECT_EQ(camera[0], "Camera device: Scripted Camera");
    EXPECT_EQ(camera[1], "Camera session started.");
    EXPECT_EQ(camera[2], "Camera session stopped and released.");
}

TEST_F(AuthEngineTest, EveryWayOutStopsTheCamera) {
    // noFace by the watchdog, noMatch at the deadline, matched in the loop, cancelled.
    Settings quiet = livenessOn();
    quiet.scanTimeout = 0;
    makeEngine(quiet);
    EXPECT_EQ(scan(), AuthResult::noFace());

    nextRun();
    Settings s = livenessOn();
    endWindowAfterScript(s);
    script->frames = {Frame::withEmbedding(far)};
    makeEngine(s);
    EXPECT_EQ(scan().kind, AuthResult::Kind::noMatch);

    nextRun();
    script->fillerAfter.reset();
    script->frames = {Frame::withEmbedding(alice)};
    makeEngine(livenessOff(1));
    EXPECT_EQ(scan().kind, AuthResult::Kind::matched);

    nextRun();
    std::stop_source stop;
    script->frames = {Frame::withEmbedding(far), Frame::withEmbedding(far)};
    script->onDetect = [&](int index) {
        if (index != 0) return;
        stop.request_stop();
        ASSERT_TRUE(script->waitUntilReading(2));
    };
    makeEngine(livenessOff(1));
    EXPECT_EQ(scan(stop.get_token()), AuthResult::cancelled());
    engine->camera().waitUntilSettled();
    EXPECT_EQ(script->opens, 4);
    EXPECT_EQ(script->closes, 4);
    EXPECT_FALSE(script->onFrameSetAtClose);
}

// MARK: - Settings, preview, the asynchronous entry

TEST_F(AuthEngineTest, PerFrameSettingsAreReadEachFrameAndLivenessOnceAtTheStart) {
    script->frames = {Frame::withEmbedding(near(0.1f), open), Frame::withEmbedding(near(0.1f), open),
                      Frame::withEmbedding(near(0.1f), closed), Frame::withEmbedding(near(0.1f), open)};
    makeEngine(livenessOn(5));
    script->onDetect = [&](int index) {
        if (index != 0) return;
        Settings changed = engine->settings();
        changed.requiredConsecutiveMatches = 2;  // takes effect from the next frame on
        changed.requireLiveness = false;          // this scan keeps demanding a blink
        engine->setSettings(changed);
    };
    EXPECT_EQ(scan().kind, AuthResult::Kind::matched);
    EXPECT_EQ(statuses, (std::vector<S>{S::faceFound(), S::progress(1, 5), S::faceFound(), S::needBlink(),
                                        S::faceFound(), S::needBlink(), S::faceFound()}));
}

TEST_F(AuthEngineTest, PreviewReceivesEachExaminedFrameAsAnImage) {
    std::vector<QImage> previews;
    script->frames = {Frame::noFace(), Frame::withEmbedding(alice)};
    makeEngine(livenessOff(1));
    engine->setOnPreviewFrame([&](const QImage& image) { previews.push_back(image); });
    EXPECT_EQ(scan().kind, AuthResult::Kind::matched);
    ASSERT_EQ(previews.size(), 2u);
    EXPECT_EQ(previews[1].size(), QSize(8, 8));
    EXPECT_EQ(previews[1].pixel(3, 3), qRgb(30, 20, 10));  // BGR frame, RGB image
}

TEST_F(AuthEngineTest, BestMatchSearchesTheStoresCurrentProfiles) {
    makeEngine(livenessOn());
    EXPECT_EQ(engine->bestMatch({bob}).name, "bob");
    store.profiles.push_back(Scripted::profile("carol", {{0, 1, 0}}));
    const BestMatch m = engine->bestMatch({{0, 2, 0}});
    EXPECT_EQ(m.name, "carol");
    EXPECT_FLOAT_EQ(m.distance, 0.0f);
}

TEST_F(AuthEngineTest, AsyncScanKeepsTheEventLoopFreeAndCanBeCancelled) {
    script->frames = {Frame::noFace()};  // then quiet: only the watchdog or a cancel ends it
    Settings s = livenessOn();
    s.scanTimeout = 20;
    makeEngine(s);
    std::atomic<bool> done{false};
    auto task = engine->authenticateAsync({}, [&](const AuthResult&) { done = true; });
    // The main thread's event loop keeps running meanwhile.
    EXPECT_TRUE(TestSupport::waitUntil([] { return CameraActivity::shared().isActive(); }));
    EXPECT_TRUE(script->waitUntilReading(1));
    task.cancel();
    const AuthResult result = task.get();
    EXPECT_TRUE(done);
    EXPECT_EQ(result, AuthResult::noFace());  // cancelled during the wait: judged as the window's end
}

}  // namespace
