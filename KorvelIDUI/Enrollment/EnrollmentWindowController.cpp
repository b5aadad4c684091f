#include "Enrollment/EnrollmentWindowController.h"

#include <QGuiApplication>
#include <QScreen>

#include "Enrollment/EnrollmentViewModel.h"
#include "Enrollment/EnrollmentWindow.h"

EnrollmentWindowController::EnrollmentWindowController(AuthEngine& engine, CameraAccessCheck cameraAccess)
    : engine_(engine), cameraAccess_(std::move(cameraAccess)) {}

EnrollmentWindowController::~EnrollmentWindowController() {
    onFinished_ = {};
    delete window_.data();
    // The models' destructors cancel their enrolments and wait for them.
    model_.reset();
    closing_.reset();
}

EnrollmentPresenterFactory EnrollmentWindowController::factory() {
    return [](AuthEngine& engine, CameraAccessCheck cameraAccess) -> std::unique_ptr<EnrollmentPresenter> {
        return std::make_unique<EnrollmentWindowController>(engine, std::move(cameraAccess));
    };
}

void EnrollmentWindowController::show() {
    // A closed window's enrolment is still stopping: a new one would fight it for the camera.
    if (closing_) return;
    if (!window_) {
        model_ = std::make_unique<EnrollmentViewModel>(engine_, cameraAccess_);
        window_ = new EnrollmentWindow(*model_);
        window_->setAttribute(Qt::WA_DeleteOnClose);
        connect(window_, &EnrollmentWindow::closed, this, &EnrollmentWindowController::teardown);
        window_->adjustSize();
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame = window_->frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            window_->move(frame.topLeft());
        }
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void EnrollmentWindowController::teardown() {
    if (isTearingDown_ || !model_) return;
    isTearingDown_ = true;
    model_->cancel();
    if (window_) window_->disconnect(this);
    window_ = nullptr;  // deletes itself on close
    closing_ = std::move(model_);
    if (closing_->isEnrollmentRunning())
        connect(closing_.get(), &EnrollmentViewModel::enrollmentEnded, this, &EnrollmentWindowController::finish,
                Qt::QueuedConnection);
    else
        finish();
}

void EnrollmentWindowController::finish() {
    closing_.reset();
    isTearingDown_ = false;
    // The owner may release this controller from inside the callback: nothing may follow it.
    if (auto onFinished = onFinished_) onFinished();
}
