// The app lock under a private headless GNOME Shell on Wayland (two virtual monitors) with the
// shipped extension, this program as a native Wayland client and the real curtain:
//  1. activation of a protected foot terminal -> the curtain's key window focused, as the Shell reports it;
//  2. the reaction gap: another program activates the terminal while the curtain is up -> the curtain
//     has the focus again (the time the terminal could receive keys);
//  3. idle CPU over 10 s with monitoring on and nothing happening: this process and gnome-shell.
// Prints median, p95, min and max.
//
// Usage: scripts/test-desktop build/bench/gnome_applock [runs]   (default 30)
#include <QApplication>
#include <QPointer>
#include <QTemporaryDir>

#include <cstdio>
#include <vector>

#include "../tests/GnomeShell/GnomeShellDesktop.h"
#include "../tests/common/GuardedCurtains.h"
#include "CompositorBench.h"
#include "AppLock/KorvelIDAppLock.h"
#include "Curtain/LockCurtainWindow.h"
#include "Platform/GnomeShellWindowSystem.h"

using namespace CompositorBench;

namespace {
// Whether the Shell has given the focus to one of this program's windows.
bool ownWindowFocused(const GnomeShellDesktop& gnome) {
    for (const auto& w : gnome.windows())
        if (w.toObject().value("focused").toBool()) return w.toObject().value("pid").toInteger() == ::getpid();
    return false;
}
}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    GnomeShellDesktop gnome(KORVEL_TEST_SOURCE_DIR "/GnomeShell");
    if (gnome.unavailable) {
        std::fprintf(stderr, "gnome_applock: %s\n", gnome.unavailable->c_str());
        return 1;
    }
    gnome.join();
    bool complete = false;
    {
        QApplication app(argc, argv);
        QTemporaryDir dir;
        const auto apps = gnome.dataHome / "applications";
        GnomeShellDesktop::writeTerminalEntries(apps);
        for (const char* id : {"korvel-files", "korvel-alpha"}) gnome.startTerminal(id);
        auto windows = GnomeShellWindowSystem::open({std::vector{apps}});
        AppLockController lock(windows, dir.filePath("protected-apps.json").toStdString());
        QPointer<LockCurtainWindow> curtain;
        lock.setCurtainFactory(guardedCurtains(curtain, "x"));
        waitFor([&] { return windows->runningApplications().size() >= 2; }, 10000);
        gnome.drive("Focus", {"korvel-files"});
        lock.add({"korvel-alpha", "Alpha", 0});
        lock.startMonitoring();
        const auto keyFocused = [&] {
            const LockCurtainWindow* c = curtain.data();
            return c && c->keyWindow() && c->holdsKeyboard() && ownWindowFocused(gnome);
        };

        complete = timeCurtain(
            runs, "GNOME Shell", [&] { return gnome.drive("Focus", {"korvel-alpha"}).type() == QDBusMessage::ReplyMessage; }, keyFocused,
            // The driver's call returns once the Shell has handled the activation; the curtain's
            // correction follows on the Shell's next idle.
            [&] { return [&] { return ownWindowFocused(gnome); }; },
            [&] {
                unlock(curtain.data(), "x");
                waitFor([&] { return !lock.isCurtainUp(); }, 5000);
                gnome.drive("Focus", {"korvel-files"});
            });
        reportIdleCpu("gnome-shell", pid_t(gnome.shellPid()));
    }
    return complete ? 0 : 1;
}
