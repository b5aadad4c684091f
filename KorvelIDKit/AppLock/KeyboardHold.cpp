#include "AppLock/KeyboardHold.h"

KeyboardHold::KeyboardHold(std::function<KeyboardGrab::Status()> attempt, QObject* parent)
    : QObject(parent), attempt_(std::move(attempt)) {
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &KeyboardHold::check);
}

void KeyboardHold::check() {
    if (stopped_ || gaveUp_ || !attempt_) return;
    const auto status = attempt_();
    // Without any grab on this platform there is nothing to wait for.
    if (status == KeyboardGrab::Status::grabbed || status == KeyboardGrab::Status::unavailable) {
        retry_.stop();
        setHeld(true);
        return;
    }
    if (held_ || !waiting_.isValid()) {
        waiting_.start();
        iconifyAsked_ = false;
    }
    setHeld(false);
    const auto waited = std::chrono::milliseconds(waiting_.elapsed());
    if (waited >= giveUpAfter) {
        gaveUp_ = true;
        Q_EMIT gaveUp();
        return;
    }
    if (waited >= iconifyAfter && !iconifyAsked_) {
        iconifyAsked_ = true;
        Q_EMIT iconifyRequested();
    }
    // The window manager holds the grab for a moment while it acts on an activation, the moment
    // a curtain must not lose; a grab that lasts (a viewer's) ends the curtain after giveUpAfter.
    retry_.start(retryInterval);
}

void KeyboardHold::stop() {
    stopped_ = true;
    retry_.stop();
    setHeld(false);
}

void KeyboardHold::setHeld(bool held) {
    if (held) waiting_.invalidate();
    if (held == held_) return;
    held_ = held;
    Q_EMIT heldChanged(held);
}
