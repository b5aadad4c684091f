// The lock view over a host page, unlocked by a real face scan through the identity controller
// (scripted camera, detector and recogniser), with the scan display built by the application's
// factory.
#include "../Face/ScriptedCamera.h"
#include "Face/FaceStore.h"
#include "Identity/KorvelIDController.h"
#include "LockScreen/LockScreenController.h"
#include "ScanDisplay/NotchWindowController.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QSignalSpy>
#include <QVBoxLayout>

namespace {

TEST(LockScreenFaceUnlock, AnApprovedScanUnlocksTheHostAndTheDisplayShowsTheName) {
    TestSupport::TempDir data;
    {
        FaceStore store(data / FaceStore::fileName);
        store.profiles = {Scripted::profile("Ada", {{1, 0, 0}})};
        store.save();
    }
    auto script = std::make_shared<Scripted::Script>();
    script->frames.assign(3, Scripted::Frame::withEmbedding(Scripted::near(0.05f)));
    KorvelIDController::Options options;
    options.dataFolder = data.path();
    options.makeEngine = [script](FaceStore& store, Settings settings) {
        settings.requireLiveness = false;
        settings.requiredConsecutiveMatches = 2;
        AuthEngine::Options engineOptions;
        engineOptions.cameraClock = Scripted::steppingClock();
        auto engine = std::make_unique<AuthEngine>(store, std::make_unique<Scripted::Detector>(script),
                                                   std::make_unique<Scripted::Recognizer>(script), settings,
                                                   Scripted::sourceFactory(script), engineOptions);
        script->camera = &engine->camera();
        return engine;
    };
    NotchWindowController* display = nullptr;
    KorvelIDController::setScanDisplayFactory([&display] {
        auto made = std::make_unique<NotchWindowController>();
        display = made.get();
        return made;
    });
    KorvelIDController::configure(options);

    QWidget page;
    auto* layout = new QVBoxLayout(&page);
    layout->addWidget(new QLabel("Private notes"));
    auto* lock = korvelIDLock(&page, "Notes are locked", "Look at the camera");
    QSignalSpy unlocked(lock, &LockScreenController::lockedChanged);
    page.show();
    lock->setLocked(true);
    EXPECT_TRUE(TestSupport::waitUntil([&] { return !lock->isLocked(); }, 10000));
    ASSERT_NE(display, nullptr);
    EXPECT_EQ(display->state().phase(), NotchPhase::approved("Ada"));
    EXPECT_TRUE(display->isPanelVisible());
    EXPECT_TRUE(display->hasPendingHide());
    EXPECT_EQ(unlocked.count(), 2);  // locked, then unlocked by the face
    EXPECT_TRUE(TestSupport::waitUntil([&] { return lock->lockScreen() == nullptr; }));

    KorvelIDController::configure({});  // drops the controller with its display
    KorvelIDController::setScanDisplayFactory({});
}

}  // namespace
