#include "Platform/X11KeyboardGrab.h"

#include "Platform/FocusKeyboardGrab.h"

#include <QGuiApplication>

#include <X11/Xlib.h>
// Xlib's macro would rename KeyboardGrab::Status.
#undef Status

namespace {
class X11KeyboardGrab final : public KeyboardGrab {
public:
    explicit X11KeyboardGrab(Display* display) : display_(display) {}
    ~X11KeyboardGrab() override { release(); }

    Status grab(std::uint64_t window) override {
        // Keys are reported to the grab window only (owner_events false); pointer and keyboard
        // keep running (asynchronous modes), so nothing freezes if this process stalls.
        const int keyboard = XGrabKeyboard(display_, static_cast<Window>(window), False, GrabModeAsync, GrabModeAsync,
                                           CurrentTime);
        if (keyboard != GrabSuccess) return statusOf(keyboard);
        keyboardHeld_ = true;
        // The pointer too, so that no click or middle-click paste reaches another client while the
        // curtain is up. Our own windows still get their events (owner_events true): the buttons work.
        const unsigned mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask | EnterWindowMask | LeaveWindowMask;
        const int pointer = XGrabPointer(display_, static_cast<Window>(window), True, mask, GrabModeAsync, GrabModeAsync,
                                         0L, 0L, CurrentTime);
        if (pointer != GrabSuccess) return statusOf(pointer);
        pointerHeld_ = true;
        return Status::grabbed;
    }

    void release() override {
        if (!keyboardHeld_ && !pointerHeld_) return;
        if (pointerHeld_) XUngrabPointer(display_, CurrentTime);
        if (keyboardHeld_) XUngrabKeyboard(display_, CurrentTime);
        keyboardHeld_ = pointerHeld_ = false;
        XFlush(display_);
    }

private:
    static Status statusOf(int result) {
        switch (result) {
        case GrabNotViewable: return Status::notViewable;
        default: return Status::heldElsewhere;  // AlreadyGrabbed, GrabFrozen, GrabInvalidTime
        }
    }

    Display* display_;
    bool keyboardHeld_ = false;
    bool pointerHeld_ = false;
};

class NoKeyboardGrab final : public KeyboardGrab {
public:
    Status grab(std::uint64_t) override { return Status::unavailable; }
    void release() override {}
};
}  // namespace

std::unique_ptr<KeyboardGrab> makeKeyboardGrab() {
    auto* app = qGuiApp;
    if (app && QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) return makeFocusKeyboardGrab();
    if (app) {
        if (auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>()) {
            if (Display* display = x11->display()) return std::make_unique<X11KeyboardGrab>(display);
        }
    }
    return std::make_unique<NoKeyboardGrab>();
}
