#pragma once
// Takes the whole keyboard and the pointer for one window, so that every key press goes to the
// lock curtain whichever window the window manager thinks has the focus, and no click reaches
// another client. Main thread only.
#include <cstdint>
#include <memory>

class KeyboardGrab {
public:
    enum class Status {
        grabbed,        // keyboard and pointer
        heldElsewhere,  // another client holds a grab (a menu, a screen locker): try again later
        notViewable,    // the window is not mapped yet: try again later
        unavailable,    // no display that supports grabs (Wayland, offscreen): never succeeds
    };

    virtual ~KeyboardGrab() = default;
    // `window` is the native window ID (QWidget::winId()). Grabbing again while held is harmless.
    virtual Status grab(std::uint64_t window) = 0;
    // Gives keyboard and pointer back if they are held; also done on destruction.
    virtual void release() = 0;
};
