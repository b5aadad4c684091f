#pragma once
// Whether this user may use a camera, asked before an interactive enrolment so the window can say
// what to do instead of failing later with a camera error.
#include <functional>

enum class CameraAccess {
    granted,      // a camera can be opened
    denied,       // a camera exists but this user may not open it
    unavailable,  // no usable camera
};

// Blocking (it may open device nodes): run it off the main thread.
using CameraAccessCheck = std::function<CameraAccess()>;
