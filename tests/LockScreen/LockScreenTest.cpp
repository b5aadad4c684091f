// The lock view (nothing in the product uses it yet) and the helper that locks a host widget, driven
// by a scripted face unlock: each outcome, a result after the view is gone, and the locked host.
#include "Common/SymbolView.h"
#include "LockScreen/KorvelIDLockScreen.h"
#include "LockScreen/LockScreenController.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <memory>

namespace {

using Status = LockScreenModel::Status;
using TestSupport::child;

// A face unlock whose answer the test gives when it likes; counts the scans started.
struct ScriptedUnlock {
    int started = 0;
    LockScreenModel::Completion pending;

    LockScreenModel::UnlockFunction function() {
        return [this](LockScreenModel::Completion completion) {
            ++started;
            pending = std::move(completion);
        };
    }
    void answer(const UnlockResult& result) {
        auto completion = std::move(pending);
        pending = nullptr;
        completion(result);
    }
};

TEST(LockScreen, EveryOutcomeOfAScan) {
    struct Case {
        UnlockResult result;
        bool unlocked;
        QString line;
    } cases[] = {
        {UnlockResult::approved("Ada"), true, "Keep your notes private"},
        {UnlockResult::denied("Face not recognized"), false, "Face not recognized"},
        {UnlockResult::cameraUnavailable(), false, "Camera unavailable"},
        {UnlockResult::notEnrolled(), false, "No face registered"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line.toStdString());
        ScriptedUnlock scan;
        int unlocks = 0;
        KorvelIDLockScreen screen("Notes are locked", "Keep your notes private", [&] { ++unlocks; }, {},
                                  scan.function());
        screen.show();
        ASSERT_TRUE(TestSupport::waitUntil([&] { return scan.started == 1; }));  // scans as it appears
        auto* button = child<QPushButton>(screen, "unlockButton");
        ASSERT_TRUE(button);
        EXPECT_FALSE(button->isEnabled());
        scan.answer(c.result);
        EXPECT_EQ(unlocks, c.unlocked ? 1 : 0);
        EXPECT_EQ(screen.model().status(), c.unlocked ? Status::scanning : Status::denied);
        EXPECT_EQ(child<QLabel>(screen, "lockStatus")->text(), c.line);
        EXPECT_EQ(child<SymbolView>(screen, "lockSymbol")->symbol(),
                  c.unlocked ? "faceid" : "lock.trianglebadge.exclamationmark");
        EXPECT_EQ(button->isEnabled(), !c.unlocked);
        EXPECT_EQ(button->isVisible(), c.result.kind != UnlockResult::Kind::notEnrolled) << "no face: no face button";
    }
}

TEST(LockScreen, AResultArrivingAfterTheScreenIsGoneIsDropped) {
    ScriptedUnlock scan;
    int unlocks = 0;
    auto screen = std::make_unique<KorvelIDLockScreen>("Locked", "", [&] { ++unlocks; }, std::function<void()>{},
                                                       scan.function());
    screen->model().runUnlock();
    screen.reset();
    scan.answer(UnlockResult::approved("Ada"));
    EXPECT_EQ(unlocks, 0);
}

// A host page locked by the helper: covered, blurred and disabled until the face is approved.
TEST(LockScreenController, LockBlursAndDisablesTheHostUntilTheFaceIsApproved) {
    QWidget host;
    auto* field = new QLineEdit("Shopping list", &host);
    host.resize(560, 460);
    ScriptedUnlock scan;
    auto* lock = korvelIDLock(&host, "Notes are locked", "Look at the camera to open your notes.", {}, scan.function());
    host.show();
    lock->setLocked(true);
    ASSERT_NE(lock->lockScreen(), nullptr);
    EXPECT_FALSE(field->isEnabled());
    EXPECT_EQ(lock->lockScreen()->geometry(), host.rect());
    ASSERT_TRUE(TestSupport::waitUntil([&] { return lock->blurRadius() == 18 && lock->coverOpacity() == 1; }));
    EXPECT_EQ(scan.started, 1);

    scan.answer(UnlockResult::approved("Ada"));
    EXPECT_FALSE(lock->isLocked());
    ASSERT_TRUE(TestSupport::waitUntil([&] { return lock->lockScreen() == nullptr; }));
    EXPECT_EQ(lock->blurRadius(), 0);
    EXPECT_TRUE(field->isEnabled());
}

}  // namespace
