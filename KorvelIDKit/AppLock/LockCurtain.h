#pragma once
// A lock curtain over one protected application, as the app-lock facade sees it. The windows that
// draw it live in the UI library, which installs the factory (KorvelIDAppLock::setCurtainFactory).
#include <functional>
#include <memory>

#include "AppLock/ProtectedApp.h"

class WindowSystem;

class LockCurtain {
public:
    virtual ~LockCurtain() = default;
    // Builds the windows and shows them. Exactly one of the two endings given to the factory is
    // called later, on the main thread: onUnlocked after the fade-out, onCancelled before it.
    virtual void present() = 0;
};

// `windows` is the app lock's window system (guarding the curtain, iconifying the application); it
// outlives the curtain.
using LockCurtainFactory = std::function<std::unique_ptr<LockCurtain>(
    const ProtectedApp& app, WindowSystem& windows, std::function<void()> onUnlocked, std::function<void()> onCancelled)>;
