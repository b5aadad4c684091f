#pragma once
// One lock curtain on the screen: the interactive panel on the screen the user is looking at
// (under the pointer, else the primary screen, else the first), holding the keyboard, and a blank
// cover on every other screen, all above every other window. It follows screens that come, go or
// change size while it is up, ends with a short fade and reports once: onCancelled before the
// fade, onUnlocked after it. It draws the CurtainModel and ends only when the model says so (the
// model's buttons, Escape, or the time-out, which cancels through the model).
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "AppLock/CurtainModel.h"
#include "AppLock/KeyboardGrab.h"
#include "AppLock/KeyboardHold.h"
#include "AppLock/LockCurtain.h"
#include "AppLock/ProtectedApp.h"
#include "AppLock/WindowSystem.h"
#include "Curtain/CurtainPanel.h"

class QScreen;
class QWindow;
class WindowSystem;

// What a curtain needs from the rest of the program; tests and the benchmark replace parts.
struct CurtainServices {
    CurtainModel::FaceScan faceScan;
    std::function<void()> cancelFaceScan;        // may be empty
    std::function<bool()> faceIsEnrolled;        // empty: assumed enrolled
    CurtainModel::PasswordCheck verifyPassword;  // asked only when the master password is set
    std::function<bool()> masterPasswordIsSet;
    std::function<bool()> passwordInReach;  // see CurtainModel::setPasswordInReach; may be empty
    std::function<bool()> requiresBlink;
    std::function<void()> hideScanDisplay;  // may be empty
    std::function<std::unique_ptr<KeyboardGrab>()> makeKeyboardGrab;
    // Guards the windows and iconifies the application; where the compositor places windows
    // (Wayland), it also keeps them full-screen and focused. None: neither happens.
    WindowSystem* windows = nullptr;
    std::chrono::milliseconds timeout{120'000};

    // The identity controller's face scan without its heads-up display, the master password checked
    // on a pool thread, the blink demand of the tuning file, the X11 keyboard and pointer grab.
    static CurtainServices defaults();
};

class LockCurtainWindow : public QObject, public LockCurtain {
    Q_OBJECT

public:
    static constexpr int fadeInMs = 220;
    static constexpr int fadeOutMs = 180;

    LockCurtainWindow(ProtectedApp app, std::function<void()> onUnlocked, std::function<void()> onCancelled,
                      CurtainServices services = CurtainServices::defaults());
    // A curtain destroyed while up (the program shutting down) closes at once and reports nothing.
    ~LockCurtainWindow() override;

    void present() override;

    // What the app lock installs (KorvelIDAppLock::setCurtainFactory): curtains with the default
    // services and the app lock's window system.
    static LockCurtainFactory factory();

    // The key screen: the first screen whose frame contains `pointer`, else `primary`, else the
    // first; -1 when there is none.
    static int keyScreenIndex(const QList<QRect>& frames, QPoint pointer, int primary);

    // For tests and the benchmark.
    CurtainModel* model() const { return model_; }
    CurtainPanel* keyWindow() const { return keyWindow_; }
    QList<CurtainPanel*> coverWindows() const;
    bool holdsKeyboard() const;
    bool isFinishing() const { return isFinishing_; }

private:
    void buildModel();
    void finish(bool success);
    void rebuildCovers();
    void handleScreenChange();
    void watchScreen(QScreen* screen);
    void takeKeyboard();
    void releaseKeyboard();
    void guard();
    void placeWindows(bool up);
    void windowsDisturbed(bool repaired);
    void focusMoved(QWindow* focused);
    void hideApplication();
    static QScreen* chooseKeyScreen();

    QPointer<CurtainPanel> keyWindow_;
    QList<QPointer<CurtainPanel>> coverWindows_;
    const ProtectedApp app_;
    const std::function<void()> onUnlocked_;
    const std::function<void()> onCancelled_;
    CurtainServices services_;
    bool isFinishing_ = false;
    bool presented_ = false;
    QPointer<QScreen> keyScreen_;
    QPointer<CurtainModel> model_;
    std::unique_ptr<KeyboardGrab> keyboard_;
    QPointer<KeyboardHold> hold_;
    bool guarding_ = false;
    bool placed_ = false;
    QTimer screenChange_;  // coalesces bursts of screen notifications into one rebuild
};
