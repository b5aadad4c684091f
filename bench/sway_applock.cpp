// The app lock under a private headless sway (two outputs; as "nobody" when run as root), with this
// program as a native Wayland client and the real curtain:
//  1. activation of a protected foot terminal -> the curtain's key window focused, as sway reports it;
//  2. the reaction gap: another client focuses the terminal while the curtain is up -> the curtain
//     has the focus again (the time the terminal could receive keys);
//  3. idle CPU over 10 s with monitoring on and nothing happening: this process and sway.
// Prints median, p95, min and max.
//
// Usage: scripts/test-desktop build/bench/sway_applock [runs]   (default 30)
#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QPointer>
#include <QTemporaryDir>

#include <vector>

#include "../tests/Sway/SwayDesktop.h"
#include "../tests/common/GuardedCurtains.h"
#include "CompositorBench.h"
#include "AppLock/KorvelIDAppLock.h"
#include "Curtain/LockCurtainWindow.h"
#include "Platform/SwayIpc.h"
#include "Platform/SwayWindowSystem.h"

using namespace CompositorBench;

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    SwayDesktop sway;
    if (sway.unavailable) {
        std::fprintf(stderr, "sway_applock: %s\n", sway.unavailable->c_str());
        return 1;
    }
    sway.join();
    bool complete = false;
    {
        QApplication app(argc, argv);
        QTemporaryDir dir;
        const std::filesystem::path apps = dir.filePath("applications").toStdString();
        SwayDesktop::writeTerminalEntries(apps);
        for (const char* id : {"korvel-files", "korvel-alpha"}) sway.startTerminal(id);
        auto windows = SwayWindowSystem::open({sway.socket.string(), std::vector{apps}});
        SwayIpc ipc;  // the "other client", and the view of who has the focus
        ipc.connect(sway.socket.string());
        const auto command = [&](const char* text) { ipc.request(SwayIpc::runCommand, text); };
        const auto focusedCon = [&] {
            const auto seats = ipc.request(SwayIpc::getSeats, {});
            return seats ? seats->array().at(0).toObject().value("focus").toInteger() : 0;
        };
        AppLockController lock(windows, dir.filePath("protected-apps.json").toStdString());
        QPointer<LockCurtainWindow> curtain;
        lock.setCurtainFactory(guardedCurtains(curtain, "x"));
        waitFor([&] { return windows->runningApplications().size() >= 2; }, 10000);
        command("[app_id=korvel-files] focus");
        lock.add({"korvel-alpha", "Alpha", 0});
        lock.startMonitoring();
        // The key window is the one that ends up focused once the curtain is in place.
        const auto keyFocused = [&] {
            const LockCurtainWindow* c = curtain.data();
            if (!c || !c->keyWindow()) return false;
            return windows->frontmostApplicationID() == ownApplicationID && c->holdsKeyboard();
        };

        complete = timeCurtain(
            runs, "sway", [&] {
                command("[app_id=korvel-alpha] focus");
                return true;
            }, keyFocused,
            [&] { return [&, key = focusedCon()] { return focusedCon() == key; }; },
            [&] {
                unlock(curtain.data(), "x");
                waitFor([&] { return !lock.isCurtainUp(); }, 5000);
                command("[app_id=korvel-files] focus");
            });

        // Sway's process, named in its socket's name ("sway-ipc.UID.PID.sock").
        const auto parts = QString::fromStdString(sway.socket.filename().string()).split('.');
        reportIdleCpu("sway", parts.size() == 4 ? pid_t(parts[2].toInt()) : 0);
    }
    return complete ? 0 : 1;
}
