// The enrolment window and its model, opened through the identity controller on a scripted engine,
// and once on the real engine with a recorded video as the camera (for the screenshot).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTest>

#include "../Face/FaceEngineTestSupport.h"
#include "Enrollment/EnrollmentPreviewView.h"
#include "Enrollment/EnrollmentViewModel.h"
#include "Enrollment/EnrollmentWindow.h"
#include "Enrollment/EnrollmentWindowController.h"
#include "Identity/KorvelID.h"
#include "IdentityTestSupport.h"
#include "Localization/Localization.h"
#include "Platform/VideoFileSource.h"

namespace {
using namespace IdentityTest;
using Scripted::Frame;

// Saved next to the test program, in the build folder.
void saveScreenshot(QWidget& widget, const char* name) {
    const auto path = std::filesystem::path(QCoreApplication::applicationDirPath().toStdString()) / name;
    EXPECT_TRUE(widget.grab().save(QString::fromStdString(path.string())));
}

class EnrollmentWindowTest : public ::testing::Test {
protected:
    void SetUp() override { configure(scriptedEngine(script, 30)); }
    void TearDown() override {
        KorvelIDController::configure({});
        KorvelIDController::setEnrollmentPresenterFactory({});
        EXPECT_TRUE(cameraOff());
    }

    void configure(KorvelIDController::EngineFactory engine) {
        KorvelIDController::configure({dir.path(), std::move(engine), [this] { return access; }});
        KorvelIDController::setEnrollmentPresenterFactory([this](AuthEngine& e, CameraAccessCheck check) {
            auto window = std::make_unique<EnrollmentWindowController>(e, std::move(check));
            opened = window.get();
            return window;
        });
    }

    // Opens the window, types `name` and presses the button.
    void openAndStart(const QString& name) {
        KorvelID::presentEnrollment([this] { ++finishedCalls; });
        ASSERT_TRUE(opened && window());
        auto* field = window()->findChild<QLineEdit*>("nameField");
        field->setText(name);
        Q_EMIT field->textEdited(name);
        QTest::keyClick(field, Qt::Key_Return);  // the button is the default
    }
    EnrollmentWindow* window() const { return opened->window(); }
    EnrollmentViewModel& model() const { return *opened->model(); }
    QPushButton* button() const { return window()->findChild<QPushButton*>("actionButton"); }

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
        const char* error;
        const char* status;
    };
    const Case cases[] = {
        {" \t ", CameraAccess::granted, "enroll.needName", "enroll.enterName"},
        {"Ada", CameraAccess::denied, "enroll.denied", "enroll.openSettings"},
        {"Ada", CameraAccess::unavailable, "enroll.cameraError", "enroll.tryAgain"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        access = c.access;
        openAndStart(c.name);
        ASSERT_TRUE(TestSupport::waitUntil([&] { return !model().isCapturing(); }));
        EXPECT_EQ(model().errorText(), qL(c.error));
        EXPECT_EQ(model().statusText(), qL(c.status));
        EXPECT_EQ(window()->findChild<QLabel*>("errorLabel")->text(), qL(c.error));
        EXPECT_TRUE(button()->isEnabled());
        EXPECT_TRUE(window()->findChild<QLineEdit*>("nameField")->isEnabled());
        if (c.access == CameraAccess::denied) saveScreenshot(*window(), "enrollment-window-denied.png");
        window()->close();
    }
    EXPECT_EQ(script->opens, 0);
    EXPECT_EQ(finishedCalls, 3);
}

TEST_F(EnrollmentWindowTest, ClosingDuringCaptureStoresNothingStopsTheCameraAndFinishesOnce) {
    // Two samples, then the camera goes quiet: the enrolment is still capturing when closed.
    script->frames = {Frame::withEmbedding({1, 0, 0}), Frame::withEmbedding({0, 1, 0})};
    openAndStart("Ada");
    ASSERT_TRUE(TestSupport::waitUntil([&] { return model().captured() == 2; }));
    EXPECT_EQ(model().statusText().toStdString(), "Capturing sample 2/8 — slowly turn your head.");
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
    saveScreenshot(*window(), "enrollment-window-done.png");
    button()->click();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return finishedCalls > 0; }));
    EXPECT_EQ(opened->window(), nullptr);
}

TEST(EnrollmentPreviewViewTest, ShowsTheFrameMirrored) {
    QImage frame(64, 48, QImage::Format_RGB32);
    frame.fill(Qt::red);
    QPainter(&frame).fillRect(32, 0, 32, 48, Qt::blue);  // blue on the camera's right
    EnrollmentPreviewView view;
    view.setImage(frame);
    const QImage shot = view.grab().toImage();
    ASSERT_EQ(shot.size(), QSize(320, 240) * view.devicePixelRatioF());
    const QColor left = shot.pixelColor(shot.width() / 4, shot.height() / 2);
    const QColor right = shot.pixelColor(shot.width() * 3 / 4, shot.height() / 2);
    EXPECT_GT(left.blue(), 200);
    EXPECT_GT(right.red(), 200);
}

// The window as a person sees it while the recorded face is being captured.
TEST_F(EnrollmentWindowTest, ScreenshotWithVideoPreview) {
    KORVEL_REQUIRE_DATA(data);
    KORVEL_REQUIRE_FACE_MODELS();
    const auto video = data / "blink" / "franck_talking_face_blinks_22s.mp4";
    configure([video](FaceStore& store, Settings settings) {
        return std::make_unique<AuthEngine>(store, std::make_unique<FaceDetector>(),
                                            std::make_unique<DescriptorRecognizer>(), std::move(settings),
                                            VideoFileSource::factory(video, {.loop = true}));
    });
    openAndStart("Franck");
    ASSERT_TRUE(TestSupport::waitUntil([&] { return model().captured() >= 3 && !model().previewImage().isNull(); },
                                       30000));
    TestSupport::waitUntil([] { return false; }, 300);  // let the window paint the latest frame
    saveScreenshot(*window(), "enrollment-window.png");
    // The preview box shows the picture: many distinct colours, not the empty black box.
    auto* preview = window()->findChild<EnrollmentPreviewView*>("previewView");
    const QImage box = preview->grab().toImage();
    QSet<QRgb> colours;
    for (int y = 20; y < box.height() - 20; y += 4)
        for (int x = 20; x < box.width() - 20; x += 4) colours.insert(box.pixel(x, y) & 0xF0F0F0);
    EXPECT_GT(colours.size(), 50);
    window()->close();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return finishedCalls == 1; }, 10000));
}

}  // namespace
