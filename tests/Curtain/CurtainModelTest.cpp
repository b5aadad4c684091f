// The curtain's state machine with scripted checks: each answer is held until the test releases it,
// so scans, route changes, cancellation and late answers can race in any order.
#include "AppLock/CurtainModel.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSignalSpy>
#include <QThread>

#include <memory>
#include <thread>
#include <vector>

#include "Localization/Localization.h"
#include "TestSupport.h"

namespace {
using Phase = CurtainModel::Phase;
using Kind = UnlockResult::Kind;

struct Harness {
    std::vector<std::function<void(UnlockResult)>> scans;  // pending face scans, oldest first
    std::vector<std::pair<std::string, std::function<void(bool)>>> checks;
    int unlocked = 0, cancelled = 0, scanCancels = 0;
    std::unique_ptr<CurtainModel> model;

    explicit Harness(bool hasPassword = true, bool requiresBlink = true) {
        model = std::make_unique<CurtainModel>(
            "Firefox", requiresBlink, [this](auto done) { scans.push_back(std::move(done)); },
            [this](std::string pw, auto done) { checks.emplace_back(std::move(pw), std::move(done)); }, hasPassword,
            [this] { ++unlocked; }, [this] { ++cancelled; });
        model->setKeyboardHeld(true);
        model->setCancelFaceScan([this] { ++scanCancels; });
    }
    // Answers are carried over the event loop; let them arrive.
    static void settle() {
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    }
    void answerScan(std::size_t index, UnlockResult result) {
        scans.at(index)(std::move(result));
        settle();
    }
    void answerCheck(std::size_t index, bool accepted) {
        checks.at(index).second(accepted);
        settle();
    }
    int endings() const { return unlocked + cancelled; }
};

UnlockResult denied() { return UnlockResult::denied("Face not recognized"); }
}  // namespace

TEST(CurtainModel, FailureMessagesFollowTheAttemptCountAndTheKindOfFailure) {
    struct Case {
        std::vector<UnlockResult> results;
        const char* key;  // message after the last one
        Phase phase = Phase::failed;
        bool hasPassword = true;
    };
    const UnlockResult locked = UnlockResult::denied(UnlockResult::useYourPasswordReason);
    const Case cases[] = {
        {{denied()}, "curtain.notRecognized"},
        {{denied(), denied()}, "curtain.stillCant"},
        {{denied(), denied(), UnlockResult::denied("Busy")}, "curtain.stillCant"},
        {{denied(), denied(), UnlockResult::cameraUnavailable()}, "curtain.cameraUnavailable"},
        {{UnlockResult::notEnrolled()}, "curtain.noFaceEnrolled"},
        // A camera failure counts as an attempt: the next plain denial is already the second.
        {{UnlockResult::cameraUnavailable(), denied()}, "curtain.stillCant"},
        // Face unlock waits for the password: straight to the password, saying why.
        {{denied(), locked}, "curtain.faceLocked", Phase::password},
        {{locked}, "curtain.faceLocked", Phase::failed, false},
    };
    for (const auto& c : cases) {
        Harness h(c.hasPassword);
        for (std::size_t i = 0; i < c.results.size(); ++i) {
            h.model->startFaceScan();
            EXPECT_EQ(h.model->phase(), Phase::scanning);
            EXPECT_TRUE(h.model->message().isEmpty());
            h.answerScan(i, c.results[i]);
        }
        SCOPED_TRACE(c.key);
        EXPECT_EQ(h.model->phase(), c.phase);
        EXPECT_EQ(h.model->attemptCount(), static_cast<int>(c.results.size()));
        EXPECT_EQ(h.model->message(), qL(c.key));
        EXPECT_EQ(h.endings(), 0);
    }
}

TEST(CurtainModel, OnlyTheNewestScanOnTheScanningRouteCounts) {
    {  // Try Face Again pressed twice: the first scan's approval is stale.
        Harness h;
        h.model->startFaceScan();
        h.model->startFaceScan();
        h.answerScan(0, UnlockResult::approved("Ada"));
        EXPECT_EQ(h.unlocked, 0);
        EXPECT_EQ(h.model->phase(), Phase::scanning);
        h.answerScan(1, denied());
        EXPECT_EQ(h.model->attemptCount(), 1);
        EXPECT_EQ(h.model->phase(), Phase::failed);
    }
    {  // Switched to the password while scanning: a late approval must not unlock.
        Harness h;
        h.model->startFaceScan();
        h.model->usePassword();
        EXPECT_EQ(h.scanCancels, 1) << "the camera goes off when the face route is left";
        h.answerScan(0, UnlockResult::approved("Ada"));
        EXPECT_EQ(h.unlocked, 0);
        EXPECT_EQ(h.model->phase(), Phase::password);
        EXPECT_EQ(h.model->attemptCount(), 0);
        h.model->usePassword();
        EXPECT_EQ(h.scanCancels, 1) << "no scan of ours runs: nothing to end";
    }
    {  // Back from the password route, the newest scan approves.
        Harness h;
        h.model->startFaceScan();
        h.model->usePassword();
        h.model->startFaceScan();
        h.answerScan(0, denied());
        EXPECT_EQ(h.model->attemptCount(), 0);
        h.answerScan(1, UnlockResult::approved("Ada"));
        EXPECT_EQ(h.unlocked, 1);
        EXPECT_TRUE(h.model->isDone());
    }
}

TEST(CurtainModel, CancelEndsOnceAndLaterAnswersAndActionsDoNothing) {
    Harness h;
    h.model->startFaceScan();
    h.model->usePassword();
    h.model->setPasswordInput("pine");
    h.model->submitPassword();
    h.model->cancel();
    h.model->cancel();
    EXPECT_EQ(h.cancelled, 1);
    EXPECT_EQ(h.scanCancels, 1) << "ended on the way to the password, not again on cancel";
    h.answerCheck(0, true);
    h.answerScan(0, UnlockResult::approved("Ada"));
    h.model->startFaceScan();
    h.model->usePassword();
    h.model->submitPassword();
    EXPECT_EQ(h.unlocked, 0);
    EXPECT_EQ(h.cancelled, 1);
    EXPECT_EQ(h.scans.size(), 1u);
    EXPECT_EQ(h.checks.size(), 1u);
    EXPECT_FALSE(h.model->isVerifyingPassword());
}

TEST(CurtainModel, PasswordRoute) {
    Harness h;
    h.model->startFaceScan();
    h.model->usePassword();
    h.model->submitPassword();  // empty: nothing
    EXPECT_TRUE(h.checks.empty());

    h.model->setPasswordInput("wrong");
    h.model->submitPassword();
    h.model->submitPassword();  // while a check runs: nothing
    ASSERT_EQ(h.checks.size(), 1u);
    EXPECT_EQ(h.checks[0].first, "wrong");
    EXPECT_TRUE(h.model->isVerifyingPassword());
    h.answerCheck(0, false);
    EXPECT_FALSE(h.model->isVerifyingPassword());
    EXPECT_EQ(h.model->message(), qL("curtain.incorrectPassword"));
    EXPECT_TRUE(h.model->messageIsError());
    EXPECT_TRUE(h.model->passwordInput().isEmpty());
    EXPECT_EQ(h.model->phase(), Phase::password);
    h.model->setPasswordInput("wrong again");
    h.model->submitPassword();
    h.answerCheck(1, false);
    EXPECT_EQ(h.model->message(), qL("curtain.incorrectPasswordCount").replace("%d", "2")) << "a second refusal reads anew";
    // A language chosen while the curtain is up reaches the message already shown.
    QSignalSpy relabelled(h.model.get(), &CurtainModel::messageChanged);
    Localizer::shared().setLanguage(AppLanguage::german);
    EXPECT_EQ(h.model->message().toStdString(), "Falsches Passwort (2 Versuche).");
    EXPECT_EQ(relabelled.count(), 1);
    Localizer::shared().setLanguage(AppLanguage::english);

    // Typed while another program held the keyboard: those keys went there too, so they are not taken.
    h.model->setKeyboardHeld(false);
    h.model->setPasswordInput("leaked");
    h.model->submitPassword();
    EXPECT_EQ(h.checks.size(), 2u);
    EXPECT_TRUE(h.model->passwordInput().isEmpty());
    h.model->setKeyboardHeld(true);

    // A check answering twice must not cut short the next one.
    h.checks[0].second(true);
    Harness::settle();
    EXPECT_EQ(h.unlocked, 0);

    bool inReach = false;  // the keyring locked meanwhile: said so, and no wrong password counted
    h.model->setPasswordInReach([&] { return inReach; });
    h.model->setPasswordInput("pine");
    h.model->submitPassword();
    h.answerCheck(2, false);
    EXPECT_EQ(h.model->message(), qL("auth.keyringLocked"));
    EXPECT_EQ(h.model->passwordFailures(), 2);
    inReach = true;
    h.model->setPasswordInput("pine");
    h.model->submitPassword();
    EXPECT_TRUE(h.model->message().isEmpty()) << "the message clears when a new check starts";
    h.answerCheck(3, true);
    EXPECT_EQ(h.unlocked, 1);
    EXPECT_EQ(h.cancelled, 0);
}

TEST(CurtainModel, RefusalAfterLeavingThePasswordRouteIsDropped) {
    Harness h;
    h.model->usePassword();
    h.model->setPasswordInput("typed");
    h.model->submitPassword();
    h.model->startFaceScan();  // "Use Face" while the check runs
    h.model->setPasswordInput("kept");
    h.answerCheck(0, false);
    EXPECT_FALSE(h.model->isVerifyingPassword());
    EXPECT_TRUE(h.model->message().isEmpty());
    EXPECT_EQ(h.model->passwordInput(), "kept");
    EXPECT_EQ(h.model->phase(), Phase::scanning);
    // An acceptance that arrives after leaving the route does not unlock either.
    h.model->usePassword();
    h.model->submitPassword();
    h.model->startFaceScan();
    h.answerCheck(1, true);
    EXPECT_EQ(h.unlocked, 0);
}

TEST(CurtainModel, AnswersAlwaysArriveLaterOnTheMainThread) {
    // A check that answers inside the call (the preview curtain's scan) or from another thread is
    // handled on a later turn of the event loop, on the main thread.
    QThread* handledOn = nullptr;
    int unlocked = 0;
    CurtainModel model(
        "App", false,
        [](auto done) { std::thread([done] { done(UnlockResult::approved("Ada")); }).join(); },
        [](std::string, auto done) { done(false); }, true, [&] {
            handledOn = QThread::currentThread();
            ++unlocked;
        },
        [] {});
    model.setKeyboardHeld(true);
    model.usePassword();
    model.setPasswordInput("x");
    model.submitPassword();
    EXPECT_TRUE(model.isVerifyingPassword()) << "an immediate answer is not handled inside submitPassword";
    Harness::settle();
    EXPECT_EQ(model.message(), qL("curtain.incorrectPassword"));
    model.startFaceScan();
    EXPECT_EQ(unlocked, 0);
    ASSERT_TRUE(TestSupport::waitUntil([&] { return unlocked == 1; }, 2000));
    EXPECT_EQ(handledOn, QCoreApplication::instance()->thread());
}

TEST(CurtainModel, AnswerAfterTheModelIsGoneIsIgnored) {
    std::function<void(UnlockResult)> pending;
    auto model = std::make_unique<CurtainModel>(
        "App", true, [&](auto done) { pending = std::move(done); }, nullptr, false, [] { FAIL(); }, [] {});
    model->startFaceScan();
    model.reset();
    pending(UnlockResult::approved("Ada"));
    Harness::settle();
}

TEST(CurtainModel, CallbackMayDestroyTheModel) {
    std::unique_ptr<CurtainModel> model;
    int cancelled = 0;
    model = std::make_unique<CurtainModel>("App", true, nullptr, nullptr, false, [] {}, [&] {
        ++cancelled;
        model.reset();
    });
    model->cancel();
    EXPECT_EQ(cancelled, 1);
    EXPECT_EQ(model, nullptr);
}

TEST(CurtainModel, PromptFollowsTheBlinkSettingUntilAMessageIsSet) {
    Harness plain(true, false);
    Harness blink(true, true);
    EXPECT_EQ(plain.model->displayedText(), qL("curtain.look"));
    EXPECT_EQ(blink.model->displayedText(), qL("curtain.lookBlink"));
    blink.model->startFaceScan();
    blink.answerScan(0, denied());
    EXPECT_EQ(blink.model->displayedText(), qL("curtain.notRecognized"));
    blink.model->usePassword();
    EXPECT_EQ(blink.model->displayedText(), qL("curtain.enterPassword")) << "no camera prompt on the password route";
}

TEST(CurtainModel, WithoutAFaceThePasswordComesFirstAndTheFaceRouteGoes) {
    Harness h;
    h.model->setHasFace(false);
    h.model->begin();
    EXPECT_EQ(h.model->phase(), Phase::password);
    EXPECT_TRUE(h.scans.empty());
    Harness removed;  // the last face was removed while the curtain was up
    removed.model->begin();
    removed.answerScan(0, UnlockResult::notEnrolled());
    EXPECT_FALSE(removed.model->hasFace());
}
