// The enrolment window and its model, opened through the identity controller on a scripted engine.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include "Enrollment/EnrollmentViewModel.h"
#include "Enrollment/EnrollmentWindow.h"
#include "Enrollment/EnrollmentWindowController.h"
#include "Identity/CredentialGate.h"
#include "Identity/KorvelID.h"
#include "IdentityTestSupport.h"
#include "Localization/Localization.h"
#include "TextFits.h"

namespace {
using namespace IdentityTest;
using Scripted::Frame;

class EnrollmentWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        KorvelIDController::configure({dir.path(), scriptedEngine(script, 30), [this] { return access; }});
        KorvelIDController::setEnrollmentPresenterFactory([this](AuthEngine& e, CameraAccessCheck check) {
            auto window = std::make_unique<EnrollmentWindowController>(e, std::move(check));
            opened = window.get();
            return window;
        });
    }
    void TearDown() override {
        KorvelIDController::configure({});
        KorvelIDController::setEnrollmentPresenterFactory({});
        EXPECT_TRUE(cameraOff());
    }

    // Opens the window, types `name` and presses the button.
    void openAndStart(const QString& name) {
        KorvelID::presentEnrollment([this] { ++finishedCalls; });
        ASSERT_TRUE(opened && window());
        auto* field = TestSupport::child<QLineEdit>(*window(), "nameField");
        ASSERT_TRUE(field);
        field->setText(name);
        Q_EMIT field->textEdited(name);
        QTest::keyClick(field, Qt::Key_Return);  // the button is the default
    }
    EnrollmentWindow* window() const { return opened->window(); }
    EnrollmentViewModel& model() const { return *opened->model(); }
    QPushButton* button() const { return TestSupport::child<QPushButton>(*window(), "actionButton"); }

    TestSupport::TempDir dir;
    std::shared_ptr<Scripted::Script> script = std::make_shared<Scripted::Script>();
    CameraAccess access = CameraAccess::granted;
    EnrollmentWindowController* opened = nullptr;
    int finishedCalls = 0;
};

TEST_F(EnrollmentWindowTest, RefusedStartsLeaveTheButtonEnabledAndTheCameraUntouched) {
    struct Case {
        QString name;
        CameraAccess access;
        const char *error, *status;
    };
    const Case cases[] = {
        {" \t ", CameraAccess::granted, "enroll.needName", "enroll.enterName"},
        {"Ada", CameraAccess::denied, "enroll.denied", "enroll.openSettings"},
        {"Ada", CameraAccess::unavailable, "scan.noCamera", "enroll.noCamera"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        access = c.access;
        openAndStart(c.name);
        ASSERT_TRUE(TestSupport::waitUntil([&] { return !model().isCapturing(); }));
        EXPECT_EQ(model().errorText(), qL(c.error));
        EXPECT_EQ(model().statusText(), qL(c.status));
        EXPECT_EQ(TestSupport::child<QLabel>(*window(), "errorLabel")->text(), qL(c.error));
        EXPECT_TRUE(button()->isEnabled());
        EXPECT_TRUE(TestSupport::child<QLineEdit>(*window(), "nameField")->isEnabled());
        // Every message, in every language, fits the window.
        TextFits::expectFitsInEveryLanguage(*window(), std::string("enrollment-") + c.error);
        window()->close();
    }
    EXPECT_EQ(script->opens, 0);
    EXPECT_EQ(finishedCalls, 3);
}

// The password that opened the window covers one start: after a failed one, the next asks again.
TEST_F(EnrollmentWindowTest, AStartAfterAFailedOneAsksForThePasswordAgain) {
    std::vector<CredentialGate::Change> asked;
    auto answer = CredentialGate::Outcome::refused;
    CredentialGate::setConfirmer([&](CredentialGate::Change change) {
        asked.push_back(change);
        return Async::ready(answer);
    });
    access = CameraAccess::unavailable;
    openAndStart("Ada");
    ASSERT_TRUE(TestSupport::waitUntil([&] { return !model().isCapturing(); }));
    EXPECT_TRUE(asked.empty()) << "the window was opened with the password";
    access = CameraAccess::granted;
    model().start();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return asked.size() == 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(asked.front(), CredentialGate::Change::addFace);
    EXPECT_FALSE(model().isCapturing());
    answer = CredentialGate::Outcome::allowed;
    model().start();
    EXPECT_TRUE(TestSupport::waitUntil([&] { return script->opens == 1; }));
    window()->close();
    CredentialGate::setConfirmer({});
}

TEST_F(EnrollmentWindowTest, ClosingDuringCaptureStoresNothingStopsTheCameraAndFinishesOnce) {
    // Two samples, then the camera goes quiet: the enrolment is still capturing when closed.
    script->frames = {Frame::withEmbedding({1, 0, 0}), Frame::withEmbedding(Scripted::near(0.1f))};
    openAndStart("Ada");
    ASSERT_TRUE(TestSupport::waitUntil([&] { return model().captured() == 2; }));
    EXPECT_EQ(model().statusText().toStdString(), "Capturing sample 2/8 — slowly turn your head.");
    // The preview shows the camera's frame (the scripted frames are BGR 10, 20, 30).
    ASSERT_TRUE(TestSupport::waitUntil([&] { return !model().previewImage().isNull(); }));
    ASSERT_EQ(model().previewImage().size(), QSize(8, 8));
    EXPECT_EQ(model().previewImage().pixel(4, 4), qRgb(30, 20, 10));
    EXPECT_FALSE(button()->isEnabled());
    EXPECT_EQ(await(KorvelID::unlock(false)), UnlockResult::notEnrolled());

    window()->close();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return finishedCalls > 0; }));
    EXPECT_TRUE(cameraOff());
    EXPECT_EQ(script->closes, 1);
    EXPECT_FALSE(KorvelID::isEnrolled());
    EXPECT_FALSE(std::filesystem::exists(dir / "enrollment.json"));
    EXPECT_FALSE(KorvelIDController::shared().isBusy());
    QCoreApplication::processEvents();
    EXPECT_EQ(finishedCalls, 1);
}

TEST_F(EnrollmentWindowTest, CompletionSurvivesALateUnclearFrameAndDoneCloses) {
    Settings one;
    one.enrollmentSampleCount = 1;
    KorvelIDController::shared().engine().setSettings(one);
    script->frames = {Frame::withEmbedding({1, 0, 0}), Frame::noFace()};
    openAndStart("  Ada Lovelace ");
    ASSERT_TRUE(TestSupport::waitUntil([&] { return model().isDone(); }));
    const QString complete = model().statusText();
    EXPECT_EQ(complete, qL("enroll.complete"));
    model().handle(EnrollmentEvent::needBetterFace());
    EXPECT_EQ(model().statusText(), complete);
    EXPECT_EQ(KorvelID::enrolledNames(), std::vector<std::string>{"  Ada Lovelace "});  // as typed

    EXPECT_EQ(button()->text(), qL("common.done"));
    // The controller frees the presenter once it has finished, so watch the window itself.
    const QPointer<EnrollmentWindow> shown = window();
    button()->click();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return finishedCalls > 0 && !shown; }));
}

}  // namespace
