#pragma once
// Wayland has no keyboard grab: keys go to the window the compositor focuses, and the window
// system's curtain guard (WindowSystem::guardCurtain) keeps that the curtain. This "grab" only
// reports whether the curtain window has the keyboard focus now; the curtain asks again until it does.
#include <memory>

#include "AppLock/KeyboardGrab.h"

std::unique_ptr<KeyboardGrab> makeFocusKeyboardGrab();
