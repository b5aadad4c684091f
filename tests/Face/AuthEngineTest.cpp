// The authentication scan driven frame by frame by a scripted camera, detector and recogniser.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <thread>

#include "Face/AuthEngine.h"
#include "Face/CameraActivity.h"
#include "ScriptedCamera.h"
#include "Support/Logger.h"
#include "TestSupport.h"

using Scripted::Frame;
using S = ScanStatus;
using K = AuthResult::Kind;
using Clock = std::chrono::steady_clock;

namespace {

const std::vector<float> alice{1, 0, 0};
const std::vector<float> bob{0, 0, 1};
const std::vector<float> far{0, -1, 0};  // at distance 1 from everybody enrolled
constexpr float open = 0.30f;
constexpr float closed = 0.10f;
const std::string spoofPattern = "Identity matched but no blink detected \u2014 rejected \\(possible spoof\\)\\.";

// A face at cosine distance about `d` from alice, with an optional eye openness.
Frame at(float d, std::optional<float> openness = {}) { return Frame::withEmbedding(Scripted::near(d), openness); }

Settings scanSettings(std::optional<bool> liveness, std::int64_t required = 2) {
    Settings s;
    s.requireLiveness = liveness;
    s.requiredConsecutiveMatches = required;
    return s;
}
Settings livenessOff(std::int64_t required = 2) { return scanSettings(false, required); }
Settings livenessOn(std::int64_t required = 2) { return scanSettings(true, required); }

// Statuses as "S" (searching), "F" (face found), "B" (need blink) and "m/n" (progress), space separated.
std::string shorthand(const std::vector<S>& statuses) {
    std::string out;
    for (const S& s : statuses) {
        if (!out.empty()) out += ' ';
        if (s.kind == S::Kind::progress) out += std::to_string(s.matches) + "/" + std::to_string(s.required);
        else out += s.kind == S::Kind::searching ? "S" : s.kind == S::Kind::faceFound ? "F" : "B";
    }
    return out;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

class AuthEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        store.profiles = {Scripted::profile("alice", {alice}), Scripted::profile("bob", {bob})};
    }

    void TearDown() override {
        engine.reset();
        EXPECT_TRUE(TestSupport::cameraOff());
    }

    // Ends the previous run (its camera must be gone before the script changes) and makes a new engine.
    AuthEngine& makeEngine(Settings settings, bool halvingScale = false) {
        engine.reset();
        statuses.clear();
        engine = Scripted::engine(store, script, std::move(settings), {}, halvingScale);
        return *engine;
    }

    // One scan of `frames`; with `windowEnds` the window is short and filler frames after the deadline end it.
    AuthResult run(std::vector<Frame> frames, Settings s, bool windowEnds = false) {
        script->frames = std::move(frames);
        script->fillerAfter.reset();
        if (windowEnds) {
            s.scanTimeout = 0.6;
            script->fillerAfter = 0.85;
        }
        makeEngine(std::move(s));
        return scan();
    }

    AuthResult scan(std::stop_token stop = {}) {
        return engine->authenticate([this](const ScanStatus& s) { statuses.push_back(s); }, std::move(stop));
    }

    // Every way out of a scan stops the camera, and the frame callback is gone before it closes.
    void expectCameraReleased() {
        engine->camera().waitUntilSettled();
        EXPECT_FALSE(engine->camera().isRunning());
        EXPECT_EQ(script->closes, script->opens);
        EXPECT_FALSE(script->onFrameSetAtClose);
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

TEST_F(AuthEngineTest, CameraAndModelFailuresReturnTheirTextAndReportNothing) {
    struct Case {
        std::function<void()> failOpen;
        std::optional<std::string> detectorError, recognizerError;
        std::string text;
    };
    const auto throws = [](auto e) { return std::function<void()>([e] { throw e; }); };
    const std::vector<Case> cases{
        {throws(CameraError::notAuthorized()), {}, {}, "Camera permission was not granted."},
        {throws(CameraError::noDevice()), {}, {}, "No usable camera found."},
        {throws(CameraError::configurationFailed("Could not add input.")), {}, {},
         "Camera configuration failed: Could not add input."},
        // Any other failure of the camera is reported by its own description.
        {throws(std::runtime_error("driver went away")), {}, {}, "driver went away"},
        // Model problems are found before the camera starts.
        {{}, {}, "Face model file weights.bin cannot be used (missing).",
         "Face model file weights.bin cannot be used (missing)."},
        {{}, "Face model file landmarks.dat cannot be used (damaged).", {},
         "Face model file landmarks.dat cannot be used (damaged)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const int opensBefore = script->opens;
        script->failOpen = c.failOpen;
        script->detectorLoadError = c.detectorError;
        script->recognizerLoadError = c.recognizerError;
        EXPECT_EQ(run({Frame::withEmbedding(alice)}, livenessOff(1)), AuthResult::cameraError(c.text));
        EXPECT_TRUE(statuses.empty());
        EXPECT_FALSE(engine->camera().isRunning());
        EXPECT_EQ(script->opens - opensBefore, c.failOpen ? 1 : 0);
    }
    EXPECT_FALSE(log.contains("Camera session started."));
}

// Each case is one scan; the statuses, the result and the "auth" log lines (as patterns) are checked.
TEST_F(AuthEngineTest, ScanOutcomes) {
    const std::vector<float> q = Scripted::near(0.25f);
    const float d = FaceMatching::cosineDistance(q, alice);
    struct Case {
        std::string name;
        std::vector<Frame> frames;
        Settings settings;
        bool windowEnds;
        K kind;
        std::optional<float> distance;  // of the match, or the best one of a noMatch
        const char* statuses;  // as written by `shorthand`; null: not checked
        std::vector<std::string> authLines;
    };
    const auto threshold = [](Settings s, std::optional<float> t) { s.matchThreshold = t; return s; };
    const std::vector<Case> cases{
        {"each row of the status table, three in a row without liveness",
         {Frame::noFace(), Frame::lowQuality(0.34f), Frame::noEmbedding(), Frame::withEmbedding(far), at(0.1f),
          at(0.05f), Frame::withEmbedding(alice)},
         livenessOff(3), false, K::matched, 0.0f, "S S F F F F 1/3 F 2/3 F",
         {"Match: alice \\(distance 0\\.000000, blinks 0\\)"}},
        {"distance equal to the threshold matches", {Frame::withEmbedding(q)}, threshold(livenessOff(1), d), false,
         K::matched, d, "F", {"Match: alice .*"}},
        {"distance just above the threshold does not", {Frame::withEmbedding(q)},
         threshold(livenessOff(1), std::nextafter(d, 0.0f)), true, K::noMatch, d, "F F", {}},
        {"absent threshold means 0.30", {at(0.32f), at(0.28f)}, threshold(livenessOff(1), std::nullopt), true,
         K::matched, 0.28f, nullptr, {"Match: alice .*"}},
        {"liveness needs a blink after the run and approves on the next match after it",
         {at(0.1f, open), at(0.1f, open), at(0.1f, closed), at(0.05f, open)}, livenessOn(2), false, K::matched, 0.05f,
         "F 1/2 F B F B F", {"Match: alice \\(distance 0\\.0[0-9]+, blinks 1\\)"}},
        {"a blink before the run completes approves on the frame that completes it",
         {at(0.1f, open), at(0.1f, closed), at(0.1f, open), at(0.1f, open)}, livenessOn(3), false, K::matched, {},
         "F 1/3 F 2/3 F", {"Match: alice .*"}},
        {"the tracker is fed only from usable faces with an openness value",
         {at(0.1f, open), Frame::lowQuality(0.1f, closed), at(0.1f), at(0.1f, open)}, livenessOn(1), true, K::noMatch,
         {}, "F B S F B F B", {spoofPattern}},
        {"absent liveness requirement means required", {at(0.1f, open)}, scanSettings(std::nullopt, 1), true,
         K::noMatch, {}, "F B", {spoofPattern}},
        {"a window without any compared face is noFace",
         {Frame::noFace(), Frame::lowQuality(0.2f), Frame::noEmbedding()}, livenessOn(), true, K::noFace, {}, "S S F",
         {}},
        {"a face that never matches is noMatch with the best distance", {at(0.6f), at(0.4f), at(0.5f)}, livenessOff(),
         true, K::noMatch, 0.4f, "F F F F F F", {}},
        {"without liveness one matching frame anywhere approves at the end",
         {at(0.12f), Frame::noFace(), Frame::withEmbedding(far), Frame::noFace()}, livenessOff(2), true, K::matched,
         0.12f, nullptr, {"Match \\(no liveness\\): alice"}},
        {"a match without a blink is rejected as a possible spoof", {at(0.1f, open), at(0.08f, open), at(0.09f, open)},
         livenessOn(2), true, K::noMatch, 0.08f, "F 1/2 F B F B", {spoofPattern}},
        {"a stranger's blink does not count for the enrolled face that follows (a photo raised after it)",
         {Frame::withEmbedding(far, open), Frame::withEmbedding(far, closed), Frame::withEmbedding(far, open),
          at(0.1f, open), at(0.1f, open), at(0.1f, open)},
         livenessOn(2), true, K::noMatch, 0.1f, nullptr, {spoofPattern}},
        {"nor does one enrolled person's blink for another",
         {at(0.4f, open), at(0.4f, closed), at(0.4f, open), Frame::withEmbedding(bob, open),
          Frame::withEmbedding(bob, open)},
         livenessOn(2), true, K::noMatch, 0.0f, nullptr, {spoofPattern}},
        {"the owner's closing lids may move the face past the threshold, not away from the owner",
         {at(0.1f, open), at(0.4f, closed), at(0.1f, open), at(0.1f, open)}, livenessOn(2), false, K::matched, 0.1f,
         nullptr, {"Match: alice .*"}},
        {"a candidate with a blink but no completed run is denied quietly",
         {at(0.1f, open), at(0.1f, closed), at(0.4f, open)}, livenessOn(3), true, K::noMatch, 0.1f,
         nullptr, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        const AuthResult result = run(c.frames, c.settings, c.windowEnds);
        ASSERT_EQ(result.kind, c.kind) << ::testing::PrintToString(result);
        EXPECT_EQ(result.name, c.kind == K::matched ? "alice" : "");
        if (c.distance) {
            ASSERT_TRUE(c.kind == K::matched || result.bestDistance);
            EXPECT_NEAR(c.kind == K::matched ? result.distance : *result.bestDistance, *c.distance, 1e-4f);
        }
        if (c.statuses) {
            EXPECT_EQ(shorthand(statuses), c.statuses);
        }
        const auto lines = log.messages("auth");
        ASSERT_EQ(lines.size(), c.authLines.size()) << ::testing::PrintToString(lines);
        for (std::size_t i = 0; i < lines.size(); ++i)
            EXPECT_TRUE(std::regex_match(lines[i], std::regex(c.authLines[i]))) << lines[i];
        expectCameraReleased();
    }
}

TEST_F(AuthEngineTest, EachUnusableFrameResetsTheStreakButKeepsTheCandidate) {
    // A detector or recogniser that throws spoils only its frame (logged); NaN quality is too low.
    for (const auto& [breaker, seen] : std::vector<std::pair<Frame, std::string>>{
             {Frame::noFace(), "S"}, {Frame::lowQuality(0.1f), "S"}, {Frame::lowQuality(std::nanf("")), "S"},
             {Frame::noEmbedding(), "F"}, {Frame::withEmbedding(far), "F F"},
             {Frame::throwing(Frame::Throws::detector), "S"}, {Frame::throwing(Frame::Throws::recognizer), "F"}}) {
        SCOPED_TRACE(::testing::PrintToString(int(breaker.throws)) + " " + seen);
        const AuthResult result = run({at(0.1f), at(0.1f), breaker, at(0.1f), at(0.1f), at(0.2f)}, livenessOff(3));
        ASSERT_EQ(result.kind, K::matched);
        EXPECT_NEAR(result.distance, 0.2f, 1e-4f);
        EXPECT_EQ(shorthand(statuses), "F 1/3 F 2/3 " + seen + " F 1/3 F 2/3 F");
    }
}

TEST_F(AuthEngineTest, OneOrFewerRequiredMatchesDecideOnTheFirstMatchingFrame) {
    for (std::int64_t required : {1, 0, -3}) {
        SCOPED_TRACE(required);
        EXPECT_EQ(run({Frame::withEmbedding(far), at(0.1f)}, livenessOff(required)).kind, K::matched);
        EXPECT_EQ(shorthand(statuses), "F F F");
    }
}

TEST_F(AuthEngineTest, OpennessGoesThroughTheScansOwnScale) {
    // Raw 0.6 / 0.2 / 0.6 is open / closed / open only after halving.
    script->frames = {at(0.1f, 0.6f), at(0.1f, 0.2f), at(0.1f, 0.6f)};
    makeEngine(livenessOn(1), /*halvingScale=*/true);
    EXPECT_EQ(scan().kind, K::matched);
    ASSERT_EQ(script->opennessTimes.size(), 3u);
    EXPECT_TRUE(std::is_sorted(script->opennessTimes.begin(), script->opennessTimes.end()));
    EXPECT_LT(script->opennessTimes.front(), script->opennessTimes.back());
}

TEST_F(AuthEngineTest, WatchdogEndsAScanWithoutFramesAfterScanTimeoutPlusOneSecondAndAtLeastOne) {
    for (auto [timeout, atLeast] : {std::pair{-5.0, 0.95}, std::pair{0.5, 1.45}}) {
        SCOPED_TRACE(timeout);
        Settings s = livenessOn();
        s.scanTimeout = timeout;
        makeEngine(s);
        const auto started = Clock::now();
        EXPECT_EQ(scan(), AuthResult::noFace());
        EXPECT_GE(secondsSince(started), atLeast);
        EXPECT_LT(secondsSince(started), atLeast + 2);
        EXPECT_TRUE(statuses.empty());
        expectCameraReleased();
    }
}

// MARK: - Cancellation and teardown

TEST_F(AuthEngineTest, CancelWithAFrameInHandReturnsCancelled) {
    std::stop_source stop;
    script->frames = {at(0.1f), at(0.1f), at(0.1f)};
    script->onDetect = [&](int index) {
        if (index != 0) return;
        stop.request_stop();
        ASSERT_TRUE(script->waitUntilReading(2));  // frame 1 is waiting in the stream
    };
    makeEngine(livenessOff(3));
    EXPECT_EQ(scan(stop.get_token()), AuthResult::cancelled());
    EXPECT_EQ(script->detected, 1);
    EXPECT_FALSE(log.contains("Match (no liveness): alice"));
    expectCameraReleased();
    EXPECT_EQ(FaceAttemptLimit(dir.path()).failures(), 1) << "cancelling after a compared face buys no free attempt";
}

// run() makes a new engine for every scan, so each scan here is also a restart of the program.
TEST_F(AuthEngineTest, FiveFailedScansThatSawAFaceLockFaceUntilThePasswordIsAccepted) {
    const auto fail = [&] { return run({at(0.6f)}, livenessOff(1), true).kind; };
    for (int i = 0; i < FaceAttemptLimit::maxFailures - 1; ++i) EXPECT_EQ(fail(), K::noMatch);
    EXPECT_EQ(run({Frame::noFace()}, livenessOff(1), true).kind, K::noFace) << "a scan without a face is no attempt";
    EXPECT_EQ(fail(), K::noMatch);
    const int opens = script->opens;
    EXPECT_EQ(run({at(0.1f)}, livenessOff(1)), AuthResult::lockedOut());
    EXPECT_EQ(script->opens, opens) << "a locked-out scan does not touch the camera";
    EXPECT_TRUE(statuses.empty());
    EXPECT_TRUE(log.contains("5 failed face scans in a row: face unlock waits for the password."));

    FaceAttemptLimit limit(dir.path());
    limit.passwordAccepted();
    for (int i = 0; i < FaceAttemptLimit::maxFailures - 1; ++i) limit.recordFailure();
    EXPECT_EQ(run({at(0.1f)}, livenessOff(1)).kind, K::matched);
    EXPECT_EQ(limit.failures(), 0) << "an approval breaks the run";
}

TEST_F(AuthEngineTest, CancelWhileWaitingIsJudgedAsTheEndOfTheWindow) {
    std::stop_source stop;
    script->frames = {at(0.1f)};  // then the camera goes quiet
    makeEngine(livenessOff(2));
    std::atomic<int> examined{0};  // a frame's trace is sent once the scan has put it down
    engine->setOnFrameTrace([&](const FrameTrace&) { ++examined; });
    std::jthread canceller([&] {
        for (const auto until = Clock::now() + std::chrono::seconds(10); examined == 0 && Clock::now() < until;)
            std::this_thread::yield();
        stop.request_stop();
    });
    const auto started = Clock::now();
    EXPECT_EQ(scan(stop.get_token()).kind, K::matched);  // one matching frame without liveness
    EXPECT_TRUE(log.contains("Match (no liveness): alice"));
    EXPECT_LT(secondsSince(started), 3.0);  // long before the watchdog
}

TEST_F(AuthEngineTest, TeardownClearsTheFrameCallbackBeforeTheCameraStopsAndCancelsTheWatchdog) {
    Settings s = livenessOff(1);
    s.scanTimeout = 30;  // a watchdog left running would hold the scan for 31 s
    const auto started = Clock::now();
    EXPECT_EQ(run({Frame::withEmbedding(alice)}, s).kind, K::matched);
    EXPECT_LT(secondsSince(started), 5.0);
    expectCameraReleased();
    EXPECT_EQ(script->closes, 1);
    EXPECT_EQ(log.messages("camera"), (std::vector<std::string>{"Camera device: Scripted Camera", "Camera session started.",
                                                                "Camera session stopped and released."}));
}

// MARK: - Settings, the asynchronous entry

TEST_F(AuthEngineTest, PerFrameSettingsAreReadEachFrameAndLivenessOnceAtTheStart) {
    script->onDetect = [&](int index) {
        if (index != 0) return;
        Settings changed = engine->settings();
        changed.requiredConsecutiveMatches = 2;  // takes effect from the next frame on
        changed.requireLiveness = false;          // this scan keeps demanding a blink
        engine->setSettings(changed);
    };
    EXPECT_EQ(run({at(0.1f, open), at(0.1f, open), at(0.1f, closed), at(0.1f, open)}, livenessOn(5)).kind, K::matched);
    EXPECT_EQ(shorthand(statuses), "F 1/5 F B F B F");
}

TEST_F(AuthEngineTest, AsyncScanKeepsTheEventLoopFreeAndCanBeCancelled) {
    script->frames = {Frame::noFace()};  // then quiet: only the watchdog or a cancel ends it
    Settings s = livenessOn();
    s.scanTimeout = 20;
    makeEngine(s);
    std::atomic<int> examined{0};
    engine->setOnFrameTrace([&](const FrameTrace&) { ++examined; });
    std::atomic<bool> done{false};
    auto task = engine->authenticateAsync({}, [&](const AuthResult&) { done = true; });
    // The main thread's event loop keeps running meanwhile.
    EXPECT_TRUE(TestSupport::waitUntil([] { return CameraActivity::shared().isActive(); }));
    // Frame 0 examined and put down, so the cancel comes during the wait.
    EXPECT_TRUE(TestSupport::waitUntil([&] { return examined == 1; }));
    task.cancel();
    EXPECT_EQ(task.get(), AuthResult::noFace());  // cancelled during the wait: judged as the window's end
    EXPECT_TRUE(done);
}

}  // namespace
