#include "Platform/FocusKeyboardGrab.h"

#include <QGuiApplication>
#include <QWindow>

namespace {
class FocusKeyboardGrab final : public KeyboardGrab {
public:
    Status grab(std::uint64_t window) override {
        const QWindow* focus = QGuiApplication::focusWindow();
        return focus && focus->winId() == window ? Status::grabbed : Status::heldElsewhere;
    }
    void release() override {}
};
}  // namespace

std::unique_ptr<KeyboardGrab> makeFocusKeyboardGrab() { return std::make_unique<FocusKeyboardGrab>(); }
