#pragma once
// Keeps a curtain's hold on the keyboard (and pointer): tries the grab at once and every 10 ms
// while another client holds it, asks for the protected application to be iconified after half a
// second (a grab made by the application ends with its windows), and gives up after two seconds,
// so the curtain can end covered or hidden instead of offering a field whose keys go elsewhere.
// check() tries again at once, and finds out when a held grab was lost. Main thread only.
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>

#include "AppLock/KeyboardGrab.h"

class KeyboardHold : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds retryInterval{10};
    static constexpr std::chrono::milliseconds iconifyAfter{500};
    static constexpr std::chrono::milliseconds giveUpAfter{2000};

    // `attempt` grabs (or re-grabs, which is harmless while held) and says how it went.
    explicit KeyboardHold(std::function<KeyboardGrab::Status()> attempt, QObject* parent = nullptr);

    // Tries now; keeps trying until held. Also after a loss (the curtain was unmapped meanwhile).
    void check();
    void stop();
    bool isHeld() const { return held_; }

Q_SIGNALS:
    void heldChanged(bool held);
    // Once per stretch without the keyboard, after iconifyAfter.
    void iconifyRequested();
    // Once per stretch without the keyboard, after giveUpAfter.
    void gaveUp();

private:
    void setHeld(bool held);

    std::function<KeyboardGrab::Status()> attempt_;
    QTimer retry_;
    QElapsedTimer waiting_;  // since the stretch without the keyboard began
    bool held_ = false;
    bool stopped_ = false;
    bool iconifyAsked_ = false;
    bool gaveUp_ = false;
};
