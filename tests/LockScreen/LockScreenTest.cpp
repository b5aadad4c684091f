// The lock view and the helper that locks a host widget, driven by a scripted face unlock, and once
// unlocked by a face scan through the identity controller on a scripted engine.
#include "Common/ImageBlur.h"
#include "Common/SymbolView.h"
#include "IdentityTestSupport.h"
#include "LockScreen/KorvelIDLockScreen.h"
#include "LockScreen/LockScreenController.h"
#include "ScanDisplay/NotchWindowController.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

using Status = LockScreenModel::Status;

// A face unlock whose answer the test gives when it likes; counts the scans started.
struct ScriptedUnlock {
    int started = 0;
    LockScreenModel::Completion pending;
    std::optional<UnlockResult> immediate;

    LockScreenModel::UnlockFunction function() {
        return [this](LockScreenModel::Completion completion) {
            ++started;
            if (immediate) completion(*immediate);
            else pending = std::move(completion);
        };
    }
    void answer(const UnlockResult& result) {
        auto completion = std::move(pending);
        pending = nullptr;
        completion(result);
    }
};

template <typename T>
T& child(QWidget& root, const char* name) {
    T* found = root.findChild<T*>(name);
    if (!found) throw std::logic_error(std::string("no child ") + name);
    return *found;
}
QString text(QWidget& root, const char* name) { return child<QLabel>(root, name).text(); }
QPushButton* button(QWidget& root, const char* name) { return &child<QPushButton>(root, name); }
KorvelIDLockScreen& screenOf(const LockScreenController& lock) {
    if (!lock.lockScreen()) throw std::logic_error("not locked");
    return *lock.lockScreen();
}

TEST(LockScreen, EveryOutcomeOfAScan) {
    struct Case {
        UnlockResult result;
        bool unlocked;
        QString line;
    } cases[] = {
        {UnlockResult::approved("Ada"), true, "Keep your notes private"},
        {UnlockResult::denied("Face not recognized"), false, "Face not recognized"},
        {UnlockResult::denied("Busy"), false, "Busy"},
        {UnlockResult::cameraUnavailable(), false, "Camera unavailable"},
        {UnlockResult::notEnrolled(), false, "No face registered"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line.toStdString());
        ScriptedUnlock scan;
        int unlocks = 0;
        KorvelIDLockScreen screen("Notes are locked", "Keep your notes private", [&] { ++unlocks; }, {},
                                  scan.function());
        EXPECT_EQ(screen.model().status(), Status::idle);
        screen.show();
        ASSERT_TRUE(TestSupport::waitUntil([&] { return scan.started == 1; }));  // scans as it appears
        EXPECT_EQ(text(screen, "lockStatus"), "Keep your notes private");
        EXPECT_EQ(button(screen, "unlockButton")->text(), QString::fromUtf8("Scanning…"));
        EXPECT_FALSE(button(screen, "unlockButton")->isEnabled());
        scan.answer(c.result);
        EXPECT_EQ(unlocks, c.unlocked ? 1 : 0);
        EXPECT_EQ(screen.model().status(), c.unlocked ? Status::scanning : Status::denied);
        EXPECT_EQ(text(screen, "lockStatus"), c.line);
        EXPECT_EQ(child<SymbolView>(screen, "lockSymbol").symbol(),
                  c.unlocked ? "faceid" : "lock.trianglebadge.exclamationmark");
        EXPECT_EQ(button(screen, "unlockButton")->isEnabled(), !c.unlocked);
        EXPECT_EQ(text(screen, "lockTitle"), "Notes are locked");
    }
}

TEST(LockScreen, OneScanAtATimeAndTheButtonTriesAgain) {
    ScriptedUnlock scan;
    KorvelIDLockScreen screen("Locked", "Look at the camera", [] {}, {}, scan.function());
    screen.show();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return scan.started == 1; }));
    screen.model().runUnlock();  // ignored while scanning
    QTest::mouseClick(button(screen, "unlockButton"), Qt::LeftButton);
    EXPECT_EQ(scan.started, 1);
    scan.answer(UnlockResult::denied("Face not recognized"));
    EXPECT_EQ(button(screen, "unlockButton")->text(), "Unlock with Face");
    QTest::mouseClick(button(screen, "unlockButton"), Qt::LeftButton);
    EXPECT_EQ(scan.started, 2);
    EXPECT_EQ(screen.model().status(), Status::scanning);
    EXPECT_EQ(text(screen, "lockStatus"), "Look at the camera");  // back to the subtitle while scanning
    screen.hide();
    screen.show();
    QTest::qWait(20);
    EXPECT_EQ(scan.started, 2);  // only the first appearance scans by itself
}

TEST(LockScreen, CancelButtonOnlyWithACancelAction) {
    ScriptedUnlock scan;
    KorvelIDLockScreen plain("Locked", "", [] {}, {}, scan.function());
    EXPECT_TRUE(button(plain, "cancelButton")->isHidden());
    int cancels = 0;
    KorvelIDLockScreen cancellable("Locked", "", [] {}, [&] { ++cancels; }, scan.function());
    cancellable.show();
    ASSERT_FALSE(button(cancellable, "cancelButton")->isHidden());
    QTest::mouseClick(button(cancellable, "cancelButton"), Qt::LeftButton);
    EXPECT_EQ(cancels, 1);
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

// A small host page: a form and a list, locked by the helper.
struct Host {
    QWidget window;
    QLineEdit* field;
    QListWidget* list;
    Host() {
        window.setWindowTitle("Notes");
        auto* layout = new QVBoxLayout(&window);
        auto* heading = new QLabel("<b>Private notes</b>");
        field = new QLineEdit("Shopping list");
        list = new QListWidget;
        for (const char* item : {"Shopping list", "Gift ideas", "Passwords to change", "Travel plans"})
            list->addItem(item);
        layout->addWidget(heading);
        layout->addWidget(field);
        layout->addWidget(list);
        window.resize(560, 460);
    }
};

TEST(LockScreenController, LockBlursAndDisablesTheHostUntilTheFaceIsApproved) {
    ScriptedUnlock scan;
    Host host;
    auto* lock = korvelIDLock(&host.window, "Notes are locked", "Look at the camera to open your notes.", {},
                              scan.function());
    host.window.show();
    EXPECT_EQ(lock->lockScreen(), nullptr);
    EXPECT_TRUE(host.field->isEnabled());

    lock->setLocked(true);
    ASSERT_NE(lock->lockScreen(), nullptr);
    EXPECT_FALSE(host.field->isEnabled());
    EXPECT_FALSE(host.list->isEnabled());
    EXPECT_TRUE(screenOf(*lock).isEnabled());
    EXPECT_EQ(screenOf(*lock).geometry(), host.window.rect());
    ASSERT_TRUE(TestSupport::waitUntil([&] { return lock->blurRadius() == 18 && lock->coverOpacity() == 1; }));
    EXPECT_EQ(scan.started, 1);
    EXPECT_TRUE(button(screenOf(*lock), "cancelButton")->isHidden());

    host.window.resize(600, 500);  // the cover follows the host
    EXPECT_EQ(screenOf(*lock).geometry(), host.window.rect());

    scan.answer(UnlockResult::approved("Ada"));
    EXPECT_FALSE(lock->isLocked());
    ASSERT_TRUE(TestSupport::waitUntil([&] { return lock->lockScreen() == nullptr; }));
    EXPECT_EQ(lock->blurRadius(), 0);
    EXPECT_TRUE(host.field->isEnabled());

    // Locking again shows a fresh screen that scans again.
    lock->setLocked(true);
    ASSERT_TRUE(TestSupport::waitUntil([&] { return scan.started == 2; }));
    EXPECT_EQ(screenOf(*lock).model().status(), Status::scanning);
}

TEST(LockScreenController, ContentTheHostHadDisabledStaysDisabled) {
    ScriptedUnlock scan;
    scan.immediate = UnlockResult::denied("Busy");
    Host host;
    host.list->setEnabled(false);
    auto* lock = korvelIDLock(&host.window, "Locked", "", [] {}, scan.function());
    host.window.show();
    lock->setLocked(true);
    ASSERT_TRUE(TestSupport::waitUntil([&] { return screenOf(*lock).model().status() == Status::denied; }));
    EXPECT_EQ(text(screenOf(*lock), "lockStatus"), "Busy");
    lock->setLocked(false);  // the host unlocks by itself
    ASSERT_TRUE(TestSupport::waitUntil([&] { return lock->lockScreen() == nullptr; }));
    EXPECT_TRUE(host.field->isEnabled());
    EXPECT_FALSE(host.list->isEnabled());
}

// The application's own unlock: the identity controller scans and its scan display (the one the
// application's factory builds) shows whom it recognised.
TEST(LockScreenController, AnApprovedScanUnlocksTheHostAndTheDisplayShowsTheName) {
    TestSupport::TempDir data;
    auto script = std::make_shared<Scripted::Script>();
    script->frames.assign(3, Scripted::Frame::withEmbedding(Scripted::near(0.05f)));
    NotchWindowController* display = nullptr;
    KorvelIDController::setScanDisplayFactory([&display] {
        auto made = std::make_unique<NotchWindowController>();
        display = made.get();
        return made;
    });
    KorvelIDController::configure({data.path(), IdentityTest::scriptedEngine(script), {}});
    auto& controller = KorvelIDController::shared();
    controller.store().profiles = {Scripted::profile("Ada", {{1, 0, 0}})};
    Settings quick;
    quick.requireLiveness = false;
    quick.requiredConsecutiveMatches = 2;
    controller.engine().setSettings(quick);

    Host host;
    auto* lock = korvelIDLock(&host.window, "Notes are locked", "Look at the camera");
    QSignalSpy lockChanges(lock, &LockScreenController::lockedChanged);
    host.window.show();
    lock->setLocked(true);
    EXPECT_TRUE(TestSupport::waitUntil([&] { return !lock->isLocked(); }, 10000));
    EXPECT_EQ(lockChanges.count(), 2);  // locked, then unlocked by the face
    ASSERT_NE(display, nullptr);
    EXPECT_EQ(display->state().phase(), NotchPhase::approved("Ada"));
    EXPECT_TRUE(display->isPanelVisible());
    EXPECT_TRUE(display->hasPendingHide());
    EXPECT_TRUE(TestSupport::waitUntil([&] { return lock->lockScreen() == nullptr; }));

    KorvelIDController::configure({});  // drops the controller with its display
    KorvelIDController::setScanDisplayFactory({});
    EXPECT_TRUE(IdentityTest::cameraOff());
}

TEST(LockScreenScreenshots, LockViewOverASampleHost) {
    if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "screenshots need the X test desktop";
    const QString dir = QCoreApplication::applicationDirPath() + "/screenshots";
    QDir().mkpath(dir);
    struct Shot {
        const char* file;
        std::optional<UnlockResult> answer;
        bool withCancel;
    } shots[] = {
        {"lock-scanning.png", std::nullopt, false},
        {"lock-denied.png", UnlockResult::denied("Face not recognized"), true},
        {"lock-not-enrolled.png", UnlockResult::notEnrolled(), false},
    };
    for (const auto& shot : shots) {
        SCOPED_TRACE(shot.file);
        ScriptedUnlock scan;
        scan.immediate = shot.answer;
        Host host;
        auto* lock = korvelIDLock(&host.window, "Notes are locked", "Look at the camera to open your notes.",
                                  shot.withCancel ? std::function<void()>([] {}) : std::function<void()>{},
                                  scan.function());
        host.window.move(100, 100);
        host.window.show();
        QTest::qWait(200);
        const QImage sharp = host.window.grab().toImage();
        lock->setLocked(true);
        QTest::qWait(900);
        const QImage image = host.window.grab().toImage();
        ASSERT_TRUE(image.save(dir + "/" + shot.file));
        // The host's text is no longer legible: far fewer pure-dark pixels than in the unlocked page.
        auto darkPixels = [](const QImage& img, const QRect& area) {
            int dark = 0;
            for (int y = area.top(); y <= area.bottom(); ++y)
                for (int x = area.left(); x <= area.right(); ++x) dark += qGray(img.pixel(x, y)) < 60;
            return dark;
        };
        const QRect list = host.list->geometry().adjusted(4, 4, -4, -4);
        const QRect listTop(list.left(), list.top(), list.width() / 3, 60);  // under the blur, beside the badge
        EXPECT_LT(darkPixels(image, listTop), darkPixels(sharp, listTop) / 4 + 1);
    }
}

TEST(ImageBlur, SpreadsAnEdgeLikeAGaussianAndKeepsFlatAreas) {
    // Three boxes approximate the Gaussian's variance.
    for (double sigma : {1.0, 4.5, 9.0, 18.0}) {
        double variance = 0;
        for (int w : ImageBlur::boxWidths(sigma)) variance += (w * w - 1) / 12.0;
        EXPECT_NEAR(std::sqrt(variance), sigma, 0.6) << sigma;
    }
    // A black-to-white edge: flat far away, smooth across, the 16 %–84 % points about 2σ apart.
    QImage edge(200, 20, QImage::Format_ARGB32_Premultiplied);
    for (int x = 0; x < 200; ++x)
        for (int y = 0; y < 20; ++y) edge.setPixel(x, y, x < 100 ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
    for (double sigma : {3.0, 9.0}) {
        const QImage out = ImageBlur::blurred(edge, sigma);
        ASSERT_EQ(out.size(), edge.size());
        EXPECT_LT(qGray(out.pixel(2, 10)), 3);
        EXPECT_GT(qGray(out.pixel(197, 10)), 252);
        int low = 0, high = 0;
        for (int x = 0; x < 200; ++x) {
            if (qGray(out.pixel(x, 10)) < 0.16 * 255) low = x;
            if (qGray(out.pixel(199 - x, 10)) > 0.84 * 255) high = 199 - x;
        }
        EXPECT_NEAR(high - low, 2 * sigma, sigma * 0.35 + 1.5) << sigma;
    }
    EXPECT_EQ(ImageBlur::blurred(edge, 0), edge);
}

}  // namespace
