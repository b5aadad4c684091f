#pragma once
// What the app-lock page needs from the app lock: the protected list, its changes and whether
// window control works. The page normally talks to the app-lock facade (facadeAppLockBackend);
// tests hand it a recording fake.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "AppLock/ProtectedApp.h"
#include "AppLock/WindowSystem.h"

class AppLockBackend {
public:
    virtual ~AppLockBackend() = default;
    virtual std::vector<ProtectedApp> protectedApps() const = 0;
    // Whether the list is the stored one (see ProtectedAppsStore::isSaved).
    virtual bool isListSaved() const { return true; }
    // An application already listed keeps its entry; one that is frontmost is covered at once.
    virtual void add(const ProtectedApp& app) = 0;
    virtual void remove(const std::string& bundleID) = 0;
    virtual void setGrace(std::int64_t seconds, const std::string& bundleID) = 0;
    // Whether this session lets the app lock watch and cover other applications (an X11 display
    // with an EWMH window manager, or sway), and if not, why.
    virtual WindowControl windowControl() const = 0;
    // "Grant…": there is nothing to grant on X11; the backend checks again.
    virtual void requestWindowControl() = 0;
    // How the app lock reaches this desktop's windows.
    virtual WindowIntegration integration() const { return WindowIntegration::none; }
    // Whether locked applications stay iconified until unlocked (off unless chosen).
    virtual bool keepsLockedAppsIconified() const { return false; }
    virtual void setKeepsLockedAppsIconified(bool) {}
};

// The shared app lock (KorvelIDAppLock).
std::shared_ptr<AppLockBackend> facadeAppLockBackend();
