// The scan display's phases and timings as the identity controller drives them. Delays run at a
// tenth of their real length.
#include "ScanDisplay/NotchView.h"
#include "ScanDisplay/NotchWindowController.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {

using Kind = NotchPhase::Kind;
constexpr double scale = 0.1;

class NotchWindowControllerTest : public ::testing::Test {
protected:
    void SetUp() override { NotchWindowController::setTimeScale(scale); }
    void TearDown() override { NotchWindowController::setTimeScale(1); }
    static int ms(double seconds) { return static_cast<int>(seconds * 1000 * scale); }
    NotchWindowController display;
};

// (Where it hangs on its screen is a formula of NotchMetrics, not tested on its own.)
TEST_F(NotchWindowControllerTest, HangsClickThroughWithoutTakingTheFocus) {
    EXPECT_FALSE(display.isPanelVisible());  // built, not shown
    display.ensureVisible();
    EXPECT_TRUE(display.isPanelVisible());
    // Never in the way: clicks go through and it never takes the focus from the application.
    const Qt::WindowFlags flags = display.window()->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowTransparentForInput));
    EXPECT_TRUE(flags.testFlag(Qt::WindowDoesNotAcceptFocus));
    EXPECT_FALSE(display.window()->isActiveWindow());
}

TEST_F(NotchWindowControllerTest, ProgressMovesOnlyARunningScan) {
    // Progress is ignored before a scan and once it has a blink request or a result.
    for (const auto& drive : std::vector<std::function<void(NotchWindowController&)>>{
             [](NotchWindowController&) {}, [](NotchWindowController& d) { d.showBlinkPrompt(); },
             [](NotchWindowController& d) { d.showApproved("Ada", 60); }}) {
        NotchWindowController d;
        drive(d);
        const NotchPhase before = d.state().phase();
        d.updateProgress(0.5);
        EXPECT_EQ(d.state().phase(), before);
    }
    display.beginScanning();
    display.updateProgress(0.5);
    EXPECT_EQ(display.state().phase(), NotchPhase::scanning(0.5));
    display.showBlinkPrompt();
    display.updateProgress(0.75);  // the blink request stays
    EXPECT_EQ(display.state().phase(), NotchPhase::blink());
    QSignalSpy spy(&display.state(), &NotchState::phaseChanged);
    display.showBlinkPrompt();
    EXPECT_EQ(spy.count(), 0);
    display.showApproved("Ada", 60);  // blink → result is allowed
    EXPECT_EQ(display.state().phase(), NotchPhase::approved("Ada"));
}

TEST_F(NotchWindowControllerTest, ShowsAFacesNameAsWrittenNeverAsMarkup) {
    display.showApproved("<img width=9000>", 60);  // a name from the faces' file
    const auto* detail = display.window()->findChild<QLabel*>("notchDetail");
    ASSERT_TRUE(detail && detail->text() == QStringLiteral("<img width=9000>"));
    EXPECT_LT(detail->minimumSizeHint().width(), 2000);
}

TEST_F(NotchWindowControllerTest, TwoApprovalsLeaveOnePendingHideTimedFromTheSecondAndANewScanCancelsIt) {
    QSignalSpy spy(&display.state(), &NotchState::phaseChanged);
    QElapsedTimer clock;
    clock.start();
    display.beginScanning();
    display.showApproved("Ada", 2.2);
    QTest::qWait(ms(1.2));
    const qint64 second = clock.elapsed();
    display.showApproved("Bob", 2.2);
    EXPECT_TRUE(display.hasPendingHide());
    EXPECT_GT(display.pendingHideRemainingMs(), ms(2.2) - 20);
    // The first call's hide would come a tenth of a second after the second call; the only hide
    // comes a full wait after it.
    ASSERT_TRUE(TestSupport::waitUntil([&] { return display.state().phase().kind == Kind::idle; }, 3000));
    EXPECT_GE(clock.elapsed() - second, ms(2.2));
    EXPECT_FALSE(display.hasPendingHide());
    int idles = 0;
    for (const auto& args : spy) idles += args.at(0).value<NotchPhase>().kind == Kind::idle;
    EXPECT_EQ(idles, 1);

    // A new scan cancels a result's pending hide.
    display.showApproved("Ada", 0.5);
    display.beginScanning();
    EXPECT_FALSE(display.hasPendingHide());
    display.updateProgress(0.25);
    EXPECT_EQ(display.state().phase(), NotchPhase::scanning(0.25));
}

TEST_F(NotchWindowControllerTest, HideShrinksThenRemovesThePanelUnlessANewScanBegins) {
    display.ensureVisible();
    display.beginScanning();
    display.hide();
    EXPECT_EQ(display.state().phase().kind, Kind::idle);
    EXPECT_TRUE(display.isPanelVisible());  // fading
    EXPECT_TRUE(TestSupport::waitUntil([&] { return !display.isPanelVisible(); }, 2000));

    display.ensureVisible();
    display.showDenied("Face not recognized", 0.5);
    display.hide();  // a cancelled scan: hidden at once, the automatic hide is gone
    EXPECT_FALSE(display.hasPendingHide());
    // A timer of the same length started after hide() fires after the panel's removal was due.
    bool removalDue = false;
    QTimer::singleShot(ms(NotchWindowController::orderOutDelay), Qt::PreciseTimer, [&] { removalDue = true; });
    display.ensureVisible();
    display.beginScanning();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return removalDue; }));
    EXPECT_TRUE(display.isPanelVisible());
    EXPECT_EQ(display.state().phase(), NotchPhase::scanning(0));
}

}  // namespace
