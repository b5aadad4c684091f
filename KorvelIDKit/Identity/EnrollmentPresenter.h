#pragma once
// The interactive enrolment window as the identity controller drives it. The window lives in the UI
// library and is installed with KorvelIDController::setEnrollmentPresenterFactory; the kit only
// knows this interface. Every call is made on the main thread.
#include <functional>
#include <memory>

#include "Face/CameraAccess.h"

class AuthEngine;

class EnrollmentPresenter {
public:
    virtual ~EnrollmentPresenter() = default;
    // Opens the window, or brings the open one to the front.
    virtual void show() = 0;
    // Called once each time the window closes (after the enrolment it ran was cancelled and the
    // camera released). The owner may destroy the presenter from inside this callback.
    virtual void setOnFinished(std::function<void()> onFinished) = 0;
};

// What a window is made from: the controller's engine (it outlives the window) and the camera
// access check that goes with the engine's camera.
using EnrollmentPresenterFactory =
    std::function<std::unique_ptr<EnrollmentPresenter>(AuthEngine& engine, CameraAccessCheck cameraAccess)>;
