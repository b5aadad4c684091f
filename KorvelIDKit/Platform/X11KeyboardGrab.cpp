#include "Platform/X11KeyboardGrab.h"

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
        const int result = XGrabKeyboard(display_, static_cast<Window>(window), False, GrabModeAsync, GrabModeAsync,
                                         CurrentTime);
        switch (result) {
        case GrabSuccess: held_ = true; return Status::grabbed;
        case GrabNotViewable: return Status::notViewable;
        case AlreadyGrabbed:
        case GrabFrozen:
        case GrabInvalidTime:
        default: return Status::heldElsewhere;
        }
    }

    void release() override {
        if (!held_) return;
        held_ = false;
        XUngrabKeyboard(display_, CurrentTime);
        XFlush(display_);
    }

private:
    Display* display_;
    bool held_ = false;
};

class NoKeyboardGrab final : public KeyboardGrab {
public:
    Status grab(std::uint64_t) override { return Status::unavailable; }
    void release() override {}
};
}  // namespace

std::unique_ptr<KeyboardGrab> makeKeyboardGrab() {
    auto* app = qGuiApp;
    if (app) {
        if (auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>()) {
            if (Display* display = x11->display()) return std::make_unique<X11KeyboardGrab>(display);
        }
    }
    return std::make_unique<NoKeyboardGrab>();
}
