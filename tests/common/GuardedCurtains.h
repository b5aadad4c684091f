#pragma once
// Real curtains under a real compositor: the face scan never answers (a curtain stays until its
// password); the window system places and guards them. Each new curtain is left in `latest`.
#include <QPointer>

#include <memory>
#include <string>

#include "AppLock/KorvelIDAppLock.h"
#include "Curtain/LockCurtainWindow.h"

inline LockCurtainFactory guardedCurtains(QPointer<LockCurtainWindow>& latest, std::string password) {
    return [&latest, password](const ProtectedApp& app, WindowSystem& windows, auto onUnlocked, auto onCancelled) {
        CurtainServices s = CurtainServices::defaults();
        s.faceScan = [](auto) {};
        s.faceIsEnrolled = [] { return true; };  // the face phase first: keys typed then go nowhere
        s.masterPasswordIsSet = [] { return true; };
        s.verifyPassword = [password](std::string typed, std::function<void(bool)> done) { done(typed == password); };
        s.passwordInReach = nullptr;
        s.requiresBlink = [] { return false; };
        s.hideScanDisplay = nullptr;
        s.windows = &windows;
        auto made = std::make_unique<LockCurtainWindow>(app, std::move(onUnlocked), std::move(onCancelled), s);
        latest = made.get();
        return made;
    };
}
