// The identity controller on a scripted engine. (The real engine on recorded video is the scan
// video tests' and the command line's.)
#include <sys/resource.h>
#include <csignal>
#include <gtest/gtest.h>
#include <QCoreApplication>

#include "Identity/KorvelID.h"
#include "Identity/KorvelIDSettings.h"
#include "Localization/Localization.h"
#include "IdentityTestSupport.h"

namespace {
using namespace IdentityTest;
using Scripted::Frame;
using Kind = UnlockResult::Kind;

class KorvelIDControllerTest : public ControllerFixture {};

TEST_F(KorvelIDControllerTest, NobodyEnrolledIsAnsweredFirstEvenWhileBusy) {
    // The enrolment window is open and a headless enrolment is refused: still "not enrolled".
    KorvelID::presentEnrollment();
    ASSERT_EQ(presenter->shows, 1);
    EXPECT_EQ(await(KorvelID::unlock(true)), UnlockResult::notEnrolled());
    EXPECT_FALSE(await(KorvelID::enroll("Ada")));
    EXPECT_EQ(displaysBuilt, 0);
    EXPECT_EQ(script->opens, 0);
}

// One scan per outcome, with and without the display.
struct Outcome {
    const char* what;
    std::function<void(Scripted::Script&)> arrange;
    bool liveness, cancel;
    UnlockResult expected;
    Calls lastCalls;  // the display's last calls
};

TEST_F(KorvelIDControllerTest, EachScanOutcomeGivesItsResultAndDisplay) {
    const auto match = Frame::withEmbedding(Scripted::near(0.05f), 0.3f);
    const Outcome outcomes[] = {
        {"matched", [&](auto& s) { s.frames = {match, match}; }, false, false, UnlockResult::approved("Ada"),
         {"progress 0", "approved Ada 2.2"}},
        {"no match", [](auto& s) { s.frames = {Frame::withEmbedding({0, 1, 0})}; s.fillerAfter = 0.4; }, false, false,
         UnlockResult::denied("Face not recognized"), {"progress 0", "denied Face not recognized 2.6"}},
        {"no face", [](auto& s) { s.frames = {Frame::noFace()}; s.fillerAfter = 0.4; }, false, false,
         UnlockResult::denied("Face not recognized"), {"progress 0", "denied Face not recognized 2.6"}},
        {"matched without a blink", [&](auto& s) { s.frames = {match, match}; s.fillerAfter = 0.4; }, true, false,
         UnlockResult::denied("Face not recognized"), {"blink", "denied Face not recognized 2.6"}},
        {"camera error", [](auto& s) { s.failOpen = [] { throw CameraError::noDevice(); }; }, false, false,
         UnlockResult::cameraUnavailable(), {"beginScanning", "denied No camera found 2.6"}},
        {"camera refused", [](auto& s) { s.failOpen = [] { throw CameraError::notAuthorized(); }; }, false, false,
         UnlockResult::cameraUnavailable(), {"beginScanning", "denied No camera access 2.6"}},
        {"cancelled", [](auto&) {}, false, true, UnlockResult::denied("Cancelled"), {"beginScanning", "hide"}},
        {"face locked by failed scans",
         [&](auto&) {
             for (int i = 0; i < FaceAttemptLimit::maxFailures; ++i) FaceAttemptLimit(dir.path()).recordFailure();
         },
         false, false, UnlockResult::denied(UnlockResult::useYourPasswordReason),
         {"beginScanning", "denied " + L("auth.faceLocked") + " 2.6"}},
    };
    enrol("Ada");
    for (const Outcome& o : outcomes) {
        for (const bool withDisplay : {true, false}) {
            SCOPED_TRACE(std::string(o.what) + (withDisplay ? " with display" : " without display"));
            KorvelIDController::configure({dir.path(), scriptedEngine(script = std::make_shared<Scripted::Script>()),
                                           [] { return CameraAccess::granted; }});
            displaysBuilt = 0;
            calls->clear();
            enrol("Ada");
            tune(o.liveness);
            o.arrange(*script);

            QFuture<UnlockResult> future = KorvelID::unlock(withDisplay);
            if (o.cancel) {
                ASSERT_TRUE(TestSupport::waitUntil([&] { return script->readingIndex >= 0; }));
                KorvelID::cancelUnlock();
            }
            EXPECT_EQ(await(future), o.expected);
            EXPECT_FALSE(controller().isBusy());
            if (!withDisplay) {
                EXPECT_EQ(displaysBuilt, 0) << "the display was created";
                EXPECT_TRUE(calls->empty());
                continue;
            }
            ASSERT_GE(calls->size(), 3u);
            EXPECT_EQ((Calls{(*calls)[0], (*calls)[1]}), (Calls{"ensureVisible", "beginScanning"}));
            EXPECT_EQ(Calls(calls->end() - 2, calls->end()), o.lastCalls);
        }
    }
}

// A face found but too small for the gate, then too turned, each for over a second: the display
// says what to do, changes the hint with the reason and drops it once the face is usable.
TEST_F(KorvelIDControllerTest, AFaceTheGateKeepsRefusingGetsAHint) {
    enrol("Ada");
    tune(false, 2, 5);
    script->frames.assign(8, Frame::lowQuality(0.2f, {}, 0.1));
    script->frames.resize(16, Frame::lowQuality(0.2f));
    script->frames.resize(18, Frame::withEmbedding(Scripted::near(0.05f)));
    script->onDetect = [](int i) {
        if (i < 16) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    };
    EXPECT_EQ(await(KorvelID::unlock(true)), UnlockResult::approved("Ada"));
    Calls hints;
    for (const auto& c : *calls)
        if (c.starts_with("hint")) hints.push_back(c);
    EXPECT_EQ(hints, (Calls{"hint " + L("scan.moveCloser"), "hint ", "hint " + L("scan.faceCamera"), "hint "}));
}

TEST_F(KorvelIDControllerTest, ProgressIsMatchesOverRequiredAndNeverFollowsTheResult) {
    enrol("Ada");
    tune(false, 4);
    script->frames.assign(4, Frame::withEmbedding(Scripted::near(0.05f)));
    EXPECT_EQ(await(KorvelID::unlock(true)), UnlockResult::approved("Ada"));
    Calls progress;
    for (const auto& c : *calls)
        if (c.starts_with("progress") && c != "progress 0") progress.push_back(c);
    EXPECT_EQ(progress, (Calls{"progress 0.25", "progress 0.5", "progress 0.75"}));
    EXPECT_EQ(calls->back(), "approved Ada 2.2");
    // Nothing queued behind the result changes the display afterwards.
    QCoreApplication::processEvents();
    EXPECT_EQ(calls->back(), "approved Ada 2.2");
}

TEST_F(KorvelIDControllerTest, AnOverlappingRequestIsBusyAndTheRunningScanCarriesOn) {
    enrol("Ada");
    tune(false, 2, 5);
    const auto match = Frame::withEmbedding(Scripted::near(0.05f));
    script->frames = {match, match};
    // The first frame is held back until the second request has been answered.
    std::atomic<bool> release{false};
    script->onDetect = [&](int) {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    };
    QFuture<UnlockResult> first = KorvelID::unlock(false);
    ASSERT_TRUE(TestSupport::waitUntil([&] { return script->readingIndex >= 0; }));

    QFuture<UnlockResult> second = KorvelID::unlock(true);
    ASSERT_TRUE(second.isFinished()) << "the second request waited";
    EXPECT_EQ(second.result(), UnlockResult::denied("Busy"));
    EXPECT_FALSE(await(KorvelID::enroll("Bob")));
    EXPECT_EQ(displaysBuilt, 0) << "a refused request touched the display";
    KorvelID::presentEnrollment();
    EXPECT_EQ(presenter->shows, 0) << "the enrolment window waits for the camera";

    release = true;
    EXPECT_EQ(await(first), UnlockResult::approved("Ada"));
    EXPECT_EQ(script->opens, 1);
    EXPECT_TRUE(TestSupport::waitUntil([&] { return presenter->shows == 1; }));
}

TEST_F(KorvelIDControllerTest, TheOpenEnrollmentWindowMakesEverythingElseBusyUntilItCloses) {
    enrol("Ada");
    tune();
    int finishedCalls = 0;
    KorvelID::presentEnrollment([&] { ++finishedCalls; });
    KorvelID::presentEnrollment([&] { ++finishedCalls; });  // the open window is reused
    EXPECT_EQ(presenter->shows, 2);
    EXPECT_EQ(await(KorvelID::unlock(false)), UnlockResult::denied("Busy"));
    EXPECT_FALSE(await(KorvelID::enroll("Bob")));
    EXPECT_EQ(script->opens, 0);

    ASSERT_TRUE(presenter->onFinished);
    presenter->onFinished();
    EXPECT_EQ(finishedCalls, 1);
    script->frames = {Frame::noFace()};
    script->fillerAfter = 0.4;
    EXPECT_EQ(await(KorvelID::unlock(false)), UnlockResult::denied("Face not recognized"));
}

TEST_F(KorvelIDControllerTest, CancellingTheFutureStopsTheScan) {
    enrol("Ada");
    tune(false, 2, 5);
    QFuture<UnlockResult> future = KorvelID::unlock(true);
    ASSERT_TRUE(TestSupport::waitUntil([&] { return script->readingIndex >= 0; }));
    future.cancel();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return !controller().isBusy(); }, 3000)) << "the scan ran on";
    EXPECT_EQ(calls->back(), "hide");
    EXPECT_TRUE(TestSupport::waitUntil([&] { return script->closes == 1; }));
}

TEST_F(KorvelIDControllerTest, HeadlessEnrollmentShowsProgressAndItsOutcome) {
    Settings one;
    one.enrollmentSampleCount = 0;  // a target of one sample
    controller().engine().setSettings(one);
    script->frames = {Frame::withEmbedding({1, 0, 0}), Frame::withEmbedding({0, 1, 0})};
    EXPECT_TRUE(await(KorvelID::enroll("Grace")));
    EXPECT_EQ(*calls, (Calls{"ensureVisible", "beginScanning", "progress 1", "approved Grace 2.2"}));
    EXPECT_EQ(KorvelID::enrolledNames(), std::vector<std::string>{"Grace"});
    EXPECT_NE(TestSupport::readText(dir / "enrollment.json").find("\"Grace\""), std::string::npos);

    calls->clear();
    script->frames = {Frame::noFace()};
    script->fillerAfter = 0.2;
    EXPECT_FALSE(await(KorvelID::enroll("Grace")));
    EXPECT_EQ(calls->back(), "denied Enrollment failed 2.6");
    EXPECT_EQ(KorvelID::enrolledNames().size(), 1u);
    EXPECT_FALSE(controller().isBusy());
}

TEST_F(KorvelIDControllerTest, ResetLeavesNoProfileInMemoryOrOnDisk) {
    enrol("Ada");
    enrol("Bob");
    controller().store().save();
    ASSERT_TRUE(KorvelID::isEnrolled());
    rlimit saved{};  // a write that fails (past the file size limit) keeps every face, in memory as on disk
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit tiny{1, saved.rlim_max};
    ::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &tiny);
    EXPECT_FALSE(KorvelID::reset());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(KorvelID::enrolledNames().size(), 2u) << "a removal that was not saved must not look done";
    EXPECT_TRUE(KorvelID::reset());
    EXPECT_FALSE(KorvelID::isEnrolled());
    EXPECT_EQ(TestSupport::readText(dir / "enrollment.json"), "[]");
    EXPECT_EQ(await(KorvelID::unlock(true)), UnlockResult::notEnrolled());
}

TEST_F(KorvelIDControllerTest, BlinkSwitchReadsAndWritesTheSettingsFile) {
    const auto file = dir / "settings.json";
    // No file: the switch reads true; writing false writes the defaults with the switch off.
    EXPECT_TRUE(KorvelIDSettings::requireLiveness());
    KorvelIDSettings::setRequireLiveness(false);
    EXPECT_FALSE(KorvelIDSettings::requireLiveness());
    EXPECT_EQ(TestSupport::readText(file),
              R"({"minQuality":0.35,"requiredConsecutiveMatches":2,"scanTimeout":8,"enrollmentSampleCount":8,"requireLiveness":false})");
    EXPECT_FALSE(controller().engine().settings().livenessRequired());

    // Other values of the file are kept and reach the engine with the switch.
    TestSupport::writeText(file, R"({"matchThreshold":0.25,"minQuality":0.5,"requiredConsecutiveMatches":3,"scanTimeout":4,"enrollmentSampleCount":6})");
    KorvelIDSettings::setRequireLiveness(false);
    Settings expected = Settings::decode(TestSupport::readText(file));
    EXPECT_EQ(expected.matchThreshold, 0.25f);
    EXPECT_EQ(controller().engine().settings(), expected);

    // A file that does not decode reads as true; reloading without a file gives the defaults.
    TestSupport::writeText(file, R"({"requireLiveness": false})");
    EXPECT_TRUE(KorvelIDSettings::requireLiveness());
    EXPECT_FALSE(KorvelIDSettings::setRequireLiveness(true)) << "never written over";
    std::filesystem::remove(file);
    KorvelID::reloadSettings();
    EXPECT_EQ(controller().engine().settings(), Settings{});
}

}  // namespace
