// The activation monitor and the app-lock facade against a scripted window system and clock.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>

#include "AppLock/AppActivationMonitor.h"
#include "AppLock/KorvelIDAppLock.h"
#include "AppLockTestSupport.h"
#include "TestSupport.h"

using namespace std::chrono_literals;
using TestSupport::TempDir;

namespace {
const RunningApplication alpha{"alpha", 11}, alpha2{"alpha", 12}, bravo{"bravo", 21}, files{"files", 31};

struct MonitorFixture : ::testing::Test {
    TempDir dir;
    ProtectedAppsStore store{dir / ProtectedAppsStore::fileName};
    ScriptedWindowSystem windows;
    ManualClock clock;
    std::unique_ptr<AppActivationMonitor> monitor =
        std::make_unique<AppActivationMonitor>(store, windows, ownApplicationID, clock.function());
    std::vector<std::string> locks;

    void SetUp() override {
        monitor->onShouldLock = [this](const ProtectedApp& app) { locks.push_back(app.bundleIdentifier); };
        windows.running = {alpha, bravo, files};
    }
    // Brings `id` to the front and reports how many locks that caused.
    std::size_t switchTo(const std::string& id) {
        const auto before = locks.size();
        windows.bring(id);
        return locks.size() - before;
    }
};
}  // namespace

TEST_F(MonitorFixture, GraceKindsDecideWhenSwitchingBackLocksAgain) {
    struct Case {
        std::int64_t grace;
        bool afterSwitchAway, afterSwitchToOwnWindow, after61s, afterQuit;
    };
    for (const Case c : {Case{0, true, false, true, true}, Case{60, false, false, true, true},
                         Case{-1, false, false, false, true}}) {
        SCOPED_TRACE("grace " + std::to_string(c.grace));
        store.remove("alpha");
        store.add({"alpha", "Alpha", c.grace});
        monitor->clearGrace("alpha");
        monitor->start();
        windows.bring("bravo");
        locks.clear();
        ASSERT_EQ(switchTo("alpha"), 1u);
        monitor->markUnlocked(*store.app("alpha"));

        switchTo(ownApplicationID);
        EXPECT_EQ(switchTo("alpha"), c.afterSwitchToOwnWindow ? 1u : 0u);
        monitor->markUnlocked(*store.app("alpha"));
        switchTo("bravo");
        EXPECT_EQ(switchTo("alpha"), c.afterSwitchAway ? 1u : 0u);
        monitor->markUnlocked(*store.app("alpha"));  // a timed grace restarts here

        // A grace running out while the application stays in front does not lock it.
        clock.advance(61s);
        TestSupport::waitUntil([] { return false; }, 800);  // a few polls
        const auto beforeSwitch = locks.size();
        EXPECT_EQ(beforeSwitch, c.afterSwitchAway ? 2u : 1u) << "locked while staying in front";
        switchTo("bravo");
        EXPECT_EQ(switchTo("alpha"), c.after61s ? 1u : 0u);
        monitor->markUnlocked(*store.app("alpha"));

        windows.quit("alpha");
        windows.running.push_back(alpha);
        EXPECT_EQ(switchTo("alpha"), c.afterQuit ? 1u : 0u);
        monitor->stop();
    }
}

// Nothing in front for a while (the app minimised onto an empty desktop) ends an every-time unlock.
TEST_F(MonitorFixture, NothingInFrontForAWhileEndsAnEveryTimeUnlock) {
    store.add({"alpha", "Alpha", 0});
    monitor->start();
    ASSERT_EQ(switchTo("alpha"), 1u);
    monitor->markUnlocked(*store.app("alpha"));
    windows.bringSilently(std::nullopt);
    TestSupport::waitUntil([] { return false; }, 1500);  // a few polls
    EXPECT_EQ(switchTo("alpha"), 1u);
}

TEST_F(MonitorFixture, OnlyListedOtherApplicationsEverLock) {
    store.add({ownApplicationID, "Korvel ID", 0});
    store.add({"alpha", "Alpha", 0});
    monitor->start();
    for (int i = 0; i < 3; ++i) {
        switchTo("bravo");
        switchTo(ownApplicationID);
    }
    windows.sendActivationEvent("");
    monitor->reevaluateFrontmost();
    EXPECT_TRUE(locks.empty());
    EXPECT_EQ(monitor->lastFrontmost(), ownApplicationID);

    // Grace state of an unlisted application changes nothing either.
    monitor->markUnlocked({"bravo", "Bravo", 0});
    monitor->clearGrace("bravo");
    switchTo("bravo");
    EXPECT_TRUE(locks.empty());
    // Every activation event is judged, also a repeated one.
    switchTo("alpha");
    windows.sendActivationEvent("alpha");
    EXPECT_EQ(locks, (std::vector<std::string>{"alpha", "alpha"}));
}

TEST_F(MonitorFixture, StartJudgesOnlyLaterChangesAndStartStopAreIdempotent) {
    store.add({"alpha", "Alpha", -1});
    windows.front = "alpha";
    monitor->start();
    monitor->start();
    EXPECT_EQ(windows.subscriptionCount(), 2u);
    EXPECT_TRUE(monitor->isPolling());
    TestSupport::waitUntil([] { return false; }, 500);
    EXPECT_TRUE(locks.empty()) << "the application in front at start was judged";

    switchTo("bravo");
    switchTo("alpha");
    ASSERT_EQ(locks.size(), 1u);
    monitor->markUnlocked(*store.app("alpha"));

    monitor->stop();
    monitor->stop();
    EXPECT_EQ(windows.subscriptionCount(), 0u);
    EXPECT_FALSE(monitor->isPolling());
    switchTo("bravo");
    EXPECT_EQ(monitor->lastFrontmost(), "alpha") << "events reached a stopped monitor";

    monitor->start();  // grace kept across stop and start
    switchTo("alpha");
    EXPECT_EQ(locks.size(), 1u);
}

TEST_F(MonitorFixture, ThePollSeesChangesWithoutEventsAlsoInsideAModalDialog) {
    store.add({"alpha", "Alpha", 0});
    windows.front = "bravo";
    monitor->start();

    windows.bringSilently("alpha");
    ASSERT_TRUE(TestSupport::waitUntil([&] { return !locks.empty(); }, 2000));
    windows.bringSilently(std::nullopt);
    ASSERT_TRUE(TestSupport::waitUntil([&] { return !monitor->lastFrontmost(); }, 2000));

    QDialog dialog;
    bool lockedWhileModal = false;
    monitor->onShouldLock = [&](const ProtectedApp&) {
        lockedWhileModal = QApplication::activeModalWidget() == &dialog;
        dialog.accept();
    };
    QTimer::singleShot(50, [&] { windows.bringSilently("alpha"); });
    QTimer::singleShot(3000, &dialog, &QDialog::reject);  // safety net
    EXPECT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_TRUE(lockedWhileModal);
}

TEST_F(MonitorFixture, AGoneMonitorIgnoresEverything) {
    store.add({"alpha", "Alpha", 0});
    monitor->start();
    monitor.reset();
    EXPECT_EQ(windows.subscriptionCount(), 0u);
    windows.bring("alpha");
    windows.quit("alpha");
    TestSupport::waitUntil([] { return false; }, 400);
    EXPECT_TRUE(locks.empty());
}

namespace {
struct FacadeFixture : ::testing::Test {
    TempDir dir;
    std::shared_ptr<ScriptedWindowSystem> windows = std::make_shared<ScriptedWindowSystem>();
    ManualClock clock;
    CurtainLog curtains;
    std::unique_ptr<AppLockController> lock;

    void SetUp() override {
        windows->running = {alpha, alpha2, bravo, files};
        windows->fileManager = "files";
        windows->front = "files";
        lock = std::make_unique<AppLockController>(windows, dir / ProtectedAppsStore::fileName, clock.function());
        lock->setCurtainFactory(curtains.factory());
    }
    void protect(const std::string& id, std::int64_t grace) { lock->store().add({id, id, grace}); }
};
}  // namespace

// A list that cannot be read may list any app: quitting still asks for the password.
TEST_F(FacadeFixture, AnUnreadableListMayProtectAnything) {
    EXPECT_FALSE(lock->mayProtectApps());
    TestSupport::writeText(dir / ProtectedAppsStore::fileName, "damaged");
    lock = std::make_unique<AppLockController>(windows, dir / ProtectedAppsStore::fileName, clock.function());
    EXPECT_TRUE(lock->protectedApps().empty() && lock->mayProtectApps());
}

TEST_F(FacadeFixture, UnlockMarksGraceThenBringsTheApplicationBack) {
    protect("alpha", -1);
    lock->startMonitoring();
    windows->bring("alpha");
    ASSERT_EQ(curtains.ids(), std::vector<std::string>{"alpha"});
    EXPECT_EQ(curtains.last().presented, 1);
    EXPECT_TRUE(lock->isCurtainUp());

    windows->bring(ownApplicationID);  // the curtain takes the front
    curtains.last().unlock();
    EXPECT_FALSE(lock->isCurtainUp());
    EXPECT_EQ(windows->requests, std::vector<std::string>{"activate alpha/11"});
    EXPECT_EQ(windows->front, "alpha");
    windows->bring("bravo");
    windows->bring("alpha");
    EXPECT_EQ(curtains.count(), 1u);  // until it quits

    // The finished curtain is destroyed later, never inside its own callback.
    EXPECT_FALSE(curtains.last().destroyed);
    ASSERT_TRUE(TestSupport::waitUntil([&] { return curtains.last().destroyed; }));
}

TEST_F(FacadeFixture, CancelHidesEveryInstanceAndBringsTheFileManager) {
    protect("alpha", 0);
    lock->startMonitoring();
    windows->bring("alpha");
    curtains.last().cancel();
    EXPECT_EQ(windows->requests, (std::vector<std::string>{"hide alpha/11", "hide alpha/12", "activate files/31"}));
    EXPECT_EQ(windows->front, "files");
    EXPECT_EQ(curtains.count(), 1u);
    EXPECT_FALSE(lock->isCurtainUp());

    // Without a running file manager, or when the hidden application is the file manager, nothing
    // is brought forward.
    for (const auto& [fileManager, running] :
         std::vector<std::pair<std::string, std::vector<RunningApplication>>>{{"files", {alpha, bravo}}, {"alpha", {alpha, files}}}) {
        windows->requests.clear();
        windows->running = running;
        windows->fileManager = fileManager;
        windows->bring("alpha");
        curtains.last().cancel();
        EXPECT_EQ(windows->requests, std::vector<std::string>{"hide alpha/11"}) << fileManager;
    }

    // Without a curtain at all the application is hidden the same way.
    windows->requests.clear();
    windows->running = {alpha, files};
    windows->fileManager = "files";
    lock->setCurtainFactory({});
    windows->bring("alpha");
    EXPECT_EQ(windows->requests, (std::vector<std::string>{"hide alpha/11", "activate files/31"}));
    EXPECT_FALSE(lock->isCurtainUp());
}

TEST_F(FacadeFixture, ASecondLockWhileACurtainIsUpWaitsForTheEnd) {
    protect("alpha", 0);
    protect("bravo", 0);
    lock->startMonitoring();
    windows->bring("alpha");
    windows->bring("bravo");
    windows->bring("alpha");
    EXPECT_EQ(curtains.ids(), std::vector<std::string>{"alpha"});
    // The curtain was cancelled while bravo was in front: bravo is covered next.
    windows->obeys = false;
    windows->front = "bravo";
    curtains.last().cancel();
    EXPECT_EQ(curtains.ids(), (std::vector<std::string>{"alpha", "bravo"}));
    // A stale ending of the first curtain changes nothing.
    curtains.curtains[0]->unlock();
    curtains.curtains[0]->cancel();
    EXPECT_TRUE(lock->isCurtainUp());
    EXPECT_EQ(curtains.count(), 2u);
}

TEST_F(FacadeFixture, AddAndGraceChangesLockAtOnceOnlyInFront) {
    lock->startMonitoring();
    windows->bring("alpha");
    lock->add({"bravo", "Bravo", -1});  // in the background: nothing yet
    EXPECT_EQ(curtains.count(), 0u);
    lock->add({"alpha", "Alpha", -1});
    ASSERT_EQ(curtains.ids(), std::vector<std::string>{"alpha"});
    curtains.last().unlock();

    lock->setGrace(-1, "bravo");  // not in front
    EXPECT_EQ(curtains.count(), 1u);
    lock->setGrace(-1, "alpha");  // in front: the unlock is gone
    ASSERT_EQ(curtains.count(), 2u);
    curtains.last().unlock();

    // Removing keeps grace; adding again while in front covers at once regardless.
    lock->remove("alpha");
    EXPECT_FALSE(lock->isProtected("alpha"));
    lock->add({"alpha", "Alpha", -1});
    EXPECT_EQ(curtains.count(), 3u);
    curtains.last().unlock();
    windows->bring("bravo");  // bravo was never unlocked
    ASSERT_EQ(curtains.count(), 4u);
    curtains.last().unlock();
    lock->remove("alpha");
    lock->add({"alpha", "Alpha", -1});  // in the background: its unlock still counts
    windows->bring("alpha");
    EXPECT_EQ(curtains.count(), 4u);
}

TEST_F(FacadeFixture, StartCoversTheApplicationAlreadyInFrontOnce) {
    protect("alpha", 0);
    windows->front = "alpha";
    lock->startMonitoring();
    lock->startMonitoring();
    EXPECT_EQ(curtains.ids(), std::vector<std::string>{"alpha"});
    EXPECT_EQ(windows->subscriptionCount(), 2u);
    lock->stopMonitoring();
    EXPECT_FALSE(lock->isRunning());
    EXPECT_TRUE(lock->isCurtainUp()) << "stopping keeps the curtain";
}

// Kept minimized: iconified at start unless unlocked or in front, under its curtain and when an
// every-time unlock ends; back (every window, then the front one activated) when unlocked.
TEST_F(FacadeFixture, KeptMinimizedWhileLocked) {
    protect("alpha", 0);
    protect("bravo", -1);
    windows->front = "bravo";
    lock->setKeepsLockedAppsIconified(true);
    lock->startMonitoring();
    ASSERT_EQ(curtains.ids(), std::vector<std::string>{"bravo"});
    EXPECT_EQ(windows->requests, (std::vector<std::string>{"hide alpha/11", "hide alpha/12", "hide bravo/21"}))
        << "bravo, in front, is iconified under its curtain";
    curtains.last().unlock();
    windows->requests.clear();
    windows->bring("alpha");
    curtains.last().unlock();
    EXPECT_EQ(windows->requests, (std::vector<std::string>{"hide alpha/11", "hide alpha/12", "restore alpha/11",
                                                           "restore alpha/12", "activate alpha/11"}));
    windows->requests.clear();
    windows->bring("files");
    EXPECT_EQ(windows->requests, (std::vector<std::string>{"hide alpha/11", "hide alpha/12"})) << "every-time unlock ended";
}

TEST_F(FacadeFixture, ACurtainEndingInsidePresentDoesNotNest) {
    protect("alpha", 0);
    windows->obeys = false;  // the window manager has not acted yet: alpha stays in front
    int depth = 0, maxDepth = 0;
    curtains.whilePresenting = [&](CurtainRecord& c) {
        maxDepth = std::max(maxDepth, ++depth);
        if (curtains.count() < 3) c.cancel();
        --depth;
    };
    lock->startMonitoring();
    windows->bring("alpha");
    EXPECT_EQ(curtains.count(), 1u);
    ASSERT_TRUE(TestSupport::waitUntil([&] { return curtains.count() == 3; }));
    EXPECT_EQ(maxDepth, 1);
}

// The program's own IDs (the test curtain's among them) can never be protected.
TEST_F(FacadeFixture, OwnApplicationIDsAreRefused) {
    for (const char* own : {"com.korvel.id", "com.korvel.id.test", "com.korvel.id.unbundled"}) {
        lock->add({own, "Own", 0});
        EXPECT_FALSE(lock->isProtected(own)) << own;
    }
}
