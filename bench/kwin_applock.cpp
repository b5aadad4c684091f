// The app lock under a private virtual KWin (two outputs, private session bus), with this program
// as a native Wayland client and the real curtain:
//  1. a script activates the protected weston terminal -> the curtain's key window active, as
//     KWin tells this client (timed from the script's run; includes KWin reading the script);
//  2. the reaction gap: a script activates the terminal while the curtain is up -> the curtain
//     active again (the round trip through this program's D-Bus object);
//  3. idle CPU over 10 s with monitoring on and nothing happening: this process and KWin.
// Prints median, p95, min and max.
//
// Usage: build/bench/kwin_applock [runs]   (default 30)
#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QTemporaryDir>
#include <QWindow>

#include <fstream>
#include <vector>

#include "../tests/KWin/KWinDesktop.h"
#include "../tests/common/GuardedCurtains.h"
#include "CompositorBench.h"
#include "AppLock/KorvelIDAppLock.h"
#include "Curtain/LockCurtainWindow.h"
#include "Platform/KWinWindowSystem.h"

using namespace CompositorBench;

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    KWinDesktop kwin;
    if (kwin.unavailable) {
        std::fprintf(stderr, "kwin_applock: %s\n", kwin.unavailable->c_str());
        return 1;
    }
    kwin.join();
    bool complete = false;
    {
        QApplication app(argc, argv);
        QTemporaryDir dir;
        const std::filesystem::path apps = dir.filePath("applications").toStdString();
        std::filesystem::create_directories(apps);
        std::ofstream(apps / "korvel-alpha.desktop") << "[Desktop Entry]\nType=Application\nName=Alpha\nExec=/usr/bin/weston-terminal\n";
        auto windows = KWinWindowSystem::open({std::vector{apps}});
        kwin.start("weston-terminal", {});
        AppLockController lock(windows, dir.filePath("protected-apps.json").toStdString());
        QPointer<LockCurtainWindow> curtain;
        lock.setCurtainFactory(guardedCurtains(curtain, "x"));
        waitFor([&] { return !windows->runningApplications("korvel-alpha").empty(); }, 10000);
        lock.add({"korvel-alpha", "Alpha", 0});
        lock.startMonitoring();
        const auto keyActive = [&] {
            const LockCurtainWindow* c = curtain.data();
            const QWindow* key = c && c->keyWindow() ? c->keyWindow()->windowHandle() : nullptr;
            return key && key->isActive();
        };

        complete = timeCurtain(
            runs, "KWin", [&] { return kwin.activateTerminalFromScript(); }, keyActive,
            // Back once this program has asked for the curtain again and KWin has made it active.
            [&] { return [&, before = windows->curtainRestorations()] { return windows->curtainRestorations() > before && keyActive(); }; },
            [&] {
                if (LockCurtainWindow* c = curtain.data()) c->model()->cancel();
                waitFor([&] { return !lock.isCurtainUp(); }, 5000);
            });

        reportIdleCpu("KWin", pid_t(kwin.compositorPid()));
    }
    return complete ? 0 : 1;
}
