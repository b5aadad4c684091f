#pragma once
// What the app-lock page needs from the app lock: the protected list, its changes and whether
// window control works. The application hands the page the app-lock facade behind this; tests
// hand it a recording fake.
#include <cstdint>
#include <string>
#include <vector>

#include "AppLock/ProtectedApp.h"

class AppLockBackend {
public:
    virtual ~AppLockBackend() = default;
    virtual std::vector<ProtectedApp> protectedApps() const = 0;
    // An application already listed keeps its entry; one that is frontmost is covered at once.
    virtual void add(const ProtectedApp& app) = 0;
    virtual void remove(const std::string& bundleID) = 0;
    virtual void setGrace(std::int64_t seconds, const std::string& bundleID) = 0;
    // Whether this session lets the app lock watch and cover other applications (an X11 display
    // with an EWMH window manager).
    virtual bool hasWindowControl() const = 0;
    // "Grant…": there is nothing to grant on X11; the backend checks again.
    virtual void requestWindowControl() = 0;
};
