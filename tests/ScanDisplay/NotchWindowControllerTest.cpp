// The scan display's phases and timings as the identity controller drives them. Delays run at a
// tenth of their real length.
#include "Common/SymbolView.h"
#include "ScanDisplay/NotchView.h"
#include "ScanDisplay/NotchWindowController.h"
#include "ScanDisplay/ScanRing.h"
#include "ScanDisplay/StatusGlyph.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

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

TEST_F(NotchWindowControllerTest, HangsClickThroughFromTheTopCentreOfThePrimaryScreen) {
    EXPECT_FALSE(display.isPanelVisible());  // built, not shown
    display.ensureVisible();
    EXPECT_TRUE(display.isPanelVisible());
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QRect frame = display.window()->geometry();
    EXPECT_EQ(frame.top(), screen.top());
    EXPECT_NEAR(frame.center().x(), screen.center().x(), 1);
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

TEST_F(NotchWindowControllerTest, TwoApprovalsLeaveOnePendingHideTimedFromTheSecond) {
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
    // Past the first call's deadline, short of the second's: still showing the result.
    QTest::qWait(static_cast<int>(ms(2.2) + 40 - second));
    if (clock.elapsed() - second < ms(2.2)) {
        EXPECT_EQ(display.state().phase(), NotchPhase::approved("Bob"));
    }
    ASSERT_TRUE(TestSupport::waitUntil([&] { return display.state().phase().kind == Kind::idle; }, 3000));
    EXPECT_GE(clock.elapsed() - second, ms(2.2));
    EXPECT_FALSE(display.hasPendingHide());
    QTest::qWait(ms(2.2));
    int idles = 0;
    for (const auto& args : spy) idles += args.at(0).value<NotchPhase>().kind == Kind::idle;
    EXPECT_EQ(idles, 1);
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
    QTest::qWait(ms(0.1));
    display.ensureVisible();
    display.beginScanning();
    QTest::qWait(ms(NotchWindowController::orderOutDelay) + 60);
    EXPECT_TRUE(display.isPanelVisible());
    EXPECT_EQ(display.state().phase(), NotchPhase::scanning(0));
}

TEST_F(NotchWindowControllerTest, ANewScanCancelsThePreviousResultsHide) {
    display.ensureVisible();
    display.showApproved("Ada", 0.5);
    display.ensureVisible();
    display.beginScanning();
    EXPECT_FALSE(display.hasPendingHide());
    QTest::qWait(ms(0.5) + 60);
    display.updateProgress(0.25);
    EXPECT_EQ(display.state().phase(), NotchPhase::scanning(0.25));
    EXPECT_TRUE(display.isPanelVisible());
}

TEST_F(NotchWindowControllerTest, TheViewFollowsThePhase) {
    NotchView& view = *display.window();
    const NotchMetrics& m = view.metrics();
    auto settle = [] { QTest::qWait(900); };
    display.ensureVisible();
    EXPECT_EQ(view.shapeSize(), m.idleShapeSize());
    EXPECT_EQ(view.contentOpacity(), 0);

    display.beginScanning();
    settle();
    EXPECT_EQ(view.shapeSize(), m.expandedShapeSize());
    EXPECT_EQ(view.contentOpacity(), 1);
    EXPECT_TRUE(view.ring()->isVisible());
    EXPECT_TRUE(view.ring()->isSpinning());
    display.updateProgress(0.5);
    EXPECT_EQ(view.ring()->progress(), 0.5);
    EXPECT_FALSE(view.ring()->isSpinning());

    display.showBlinkPrompt();
    EXPECT_FALSE(view.ring()->isVisible());
    EXPECT_TRUE(view.eye()->isVisible());
    EXPECT_TRUE(view.eye()->isPulsing());

    display.showDenied("Face not recognized", 60);
    EXPECT_LT(view.glyph()->popProgress(), 0.5);  // springs in afresh
    settle();
    EXPECT_NEAR(view.glyph()->popProgress(), 1, 0.01);
    EXPECT_EQ(view.glyph()->symbol(), "xmark");
    EXPECT_EQ(view.glyph()->tint(), NotchView::deniedTint());
    EXPECT_EQ(view.detailLabel()->text(), "Face not recognized");
    EXPECT_FALSE(view.eye()->isVisible());

    display.hide();
    settle();
    EXPECT_EQ(view.shapeSize(), m.idleShapeSize());
    EXPECT_EQ(view.contentOpacity(), 0);
}

}  // namespace
