#pragma once
// The keyboard grab on the X11 display Qt is connected to (the grab must be made on the same
// connection as the window, or the keys would be delivered to another client).
#include <memory>

#include "AppLock/KeyboardGrab.h"

// An X11 grab when the application runs on the xcb platform; on Wayland the focus check that stands
// in for one; otherwise a grab that always answers `unavailable`.
std::unique_ptr<KeyboardGrab> makeKeyboardGrab();
