#pragma once
// Opens the enrolment window for the identity controller and takes it down again: closing the
// window cancels the enrolment, and `onFinished` runs once, after the enrolment's thread has
// released the camera (so the next camera operation never overlaps it).
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

#include "Enrollment/EnrollmentViewModel.h"
#include "Enrollment/EnrollmentWindow.h"
#include "Identity/EnrollmentPresenter.h"

class EnrollmentWindowController final : public QObject, public EnrollmentPresenter {
    Q_OBJECT

public:
    EnrollmentWindowController(AuthEngine& engine, CameraAccessCheck cameraAccess);
    ~EnrollmentWindowController() override;

    void show() override;
    void setOnFinished(std::function<void()> onFinished) override { onFinished_ = std::move(onFinished); }

    // The open window and its model (tests); null when closed.
    EnrollmentWindow* window() const { return window_; }
    EnrollmentViewModel* model() const { return model_.get(); }

    // The factory the application installs with KorvelIDController::setEnrollmentPresenterFactory.
    static EnrollmentPresenterFactory factory();

private:
    void teardown();
    void finish();

    AuthEngine& engine_;
    CameraAccessCheck cameraAccess_;
    QPointer<EnrollmentWindow> window_;
    std::unique_ptr<EnrollmentViewModel> model_;
    // The closed window's model, kept until its cancelled enrolment has ended.
    std::unique_ptr<EnrollmentViewModel> closing_;
    bool isTearingDown_ = false;
    std::function<void()> onFinished_;
};
