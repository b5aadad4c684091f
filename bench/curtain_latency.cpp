// Time to a lock curtain on screen and holding the keyboard, on a real X server (run inside
// scripts/test-desktop, which provides Xvfb + openbox + keyring):
//  1. from LockCurtainWindow::present() (and to the panel's first expose);
//  2. from the activation of a protected application (an xterm named by a desktop entry in a
//     private XDG folder): the _NET_ACTIVE_WINDOW request, the window manager's answer, the app
//     lock's activation monitor and facade, up to the curtain holding the keyboard.
// Prints median, p95, min and max over the runs.
//
// Usage: scripts/test-desktop build/bench/curtain_latency [runs]   (default 30)
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QProcess>
#include <QThread>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <QPointer>
#include <QTemporaryDir>

#include <fstream>

#include "AppLock/KorvelIDAppLock.h"
#include "Curtain/CurtainPanel.h"
#include "Curtain/LockCurtainWindow.h"
#include "Platform/X11WindowSystem.h"

namespace {
class ExposeWatch : public QObject {
public:
    qint64 exposedAt = -1;
    const QElapsedTimer* clock = nullptr;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Expose && exposedAt < 0) {
            if (auto* window = qobject_cast<QWindow*>(watched); window && window->isExposed())
                exposedAt = clock->nsecsElapsed();
        }
        return false;
    }
};

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

void report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * (ms.size() - 1) + 0.5))]; };
    std::printf("%-34s median %7.2f ms   p95 %7.2f ms   min %7.2f ms   max %7.2f ms   (n=%zu)\n", what, at(0.5),
                at(0.95), ms.front(), ms.back(), ms.size());
}
}  // namespace

// Protects the xterm through the app lock and measures activation -> curtain holding the keyboard.
struct ActivationFigures {
    std::vector<double> toRequest;   // activation -> the app lock asks for a curtain
    std::vector<double> toKeyboard;  // activation -> the curtain holds the keyboard
};

ActivationFigures activationRuns(int runs, const CurtainServices& services) {
    QTemporaryDir dir;
    const QString apps = dir.filePath("applications");
    QDir().mkpath(apps);
    std::ofstream(apps.toStdString() + "/korvel-bench.desktop")
        << "[Desktop Entry]\nType=Application\nName=Bench\nExec=xterm\nStartupWMClass=KorvelBench\n";
    X11WindowSystem::Options options;
    options.applicationDirectories = std::vector<std::filesystem::path>{apps.toStdString()};
    auto windows = X11WindowSystem::open(options);
    if (windows->windowControl() != WindowControl::available) {
        std::fprintf(stderr, "curtain_latency: no window control on this display\n");
        return {};
    }
    AppLockController controller(windows, dir.filePath("protected-apps.json").toStdString());
    QPointer<LockCurtainWindow> current;
    QElapsedTimer clock;
    qint64 requestedAt = -1;
    controller.setCurtainFactory([&](const ProtectedApp& app, WindowSystem& ws, auto onUnlocked, auto onCancelled) {
        if (clock.isValid()) requestedAt = clock.nsecsElapsed();
        CurtainServices s = services;
        s.windows = &ws;
        auto curtain = std::make_unique<LockCurtainWindow>(app, std::move(onUnlocked), std::move(onCancelled), s);
        current = curtain.get();
        return curtain;
    });
    auto covered = [&] {
        const LockCurtainWindow* c = current.data();
        return c != nullptr && c->holdsKeyboard();
    };
    auto cancelAndWait = [&] {
        if (LockCurtainWindow* c = current.data(); c && c->model()) c->model()->cancel();
        waitFor([&] { return !controller.isCurtainUp() && QApplication::topLevelWidgets().isEmpty(); }, 3000);
        waitFor([&] { return !windows->frontmostApplicationID(); }, 2000);  // iconified, nothing in front
        // A window just asked to iconify is not taken for the front application for a while
        // (hideSettleSeconds); a user does not come back that fast, so neither does a run.
        waitFor([] { return false; }, static_cast<int>(X11WindowSystem::Options{}.hideSettleSeconds * 1000) + 100);
    };
    controller.startMonitoring();
    controller.add({"korvel-bench", "Bench", 0});  // in front: covered at once
    if (!waitFor(covered, 5000)) return {};
    cancelAndWait();

    ActivationFigures figures;
    for (int i = 0; i < runs; ++i) {
        const auto instances = windows->runningApplications("korvel-bench");
        if (instances.empty()) break;
        requestedAt = -1;
        clock.start();
        windows->activate(instances.front());
        if (!waitFor(covered, 5000)) {
            std::fprintf(stderr, "activation run %d: no curtain within 5 s\n", i);
            break;
        }
        figures.toKeyboard.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        figures.toRequest.push_back(static_cast<double>(requestedAt) / 1e6);
        cancelAndWait();
    }
    return figures;
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (QGuiApplication::platformName() != "xcb") {
        std::fprintf(stderr, "curtain_latency: needs an X server (run inside scripts/test-desktop)\n");
        return 2;
    }
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;

    QProcess xterm;
    xterm.start("xterm", {"-class", "KorvelBench", "-geometry", "100x40+20+20"});
    xterm.waitForStarted();
    QProcess::execute("xdotool", {"search", "--sync", "--class", "KorvelBench", "windowactivate", "--sync"});

    CurtainServices services = CurtainServices::defaults();
    services.faceScan = [](auto) {};  // keeps the curtain in its scanning phase
    services.hideScanDisplay = nullptr;
    std::vector<double> toKeyboard, toExposed, inPresent;
    for (int i = 0; i < runs + 1; ++i) {  // the first run warms caches and is not counted
        ExposeWatch watch;
        QElapsedTimer clock;
        watch.clock = &clock;
        bool ended = false;
        auto curtain = std::make_unique<LockCurtainWindow>(ProtectedApp{"org.example.Bench", "Bench", 0},
                                                           [&] { ended = true; }, [&] { ended = true; }, services);
        clock.start();
        curtain->present();
        const qint64 returnedAt = clock.nsecsElapsed();
        if (auto* panel = curtain->keyWindow()) panel->windowHandle()->installEventFilter(&watch);
        if (!waitFor([&] { return curtain->holdsKeyboard(); }, 5000)) {
            std::fprintf(stderr, "run %d: the keyboard was not taken within 5 s\n", i);
            return 1;
        }
        const qint64 keyboardAt = clock.nsecsElapsed();
        waitFor([&] { return watch.exposedAt >= 0; }, 5000);
        if (i > 0) {
            toKeyboard.push_back(static_cast<double>(keyboardAt) / 1e6);
            inPresent.push_back(static_cast<double>(returnedAt) / 1e6);
            if (watch.exposedAt >= 0) toExposed.push_back(static_cast<double>(watch.exposedAt) / 1e6);
        }
        curtain->model()->cancel();
        waitFor([&] { return ended && !QApplication::topLevelWidgets().count(); }, 3000);
        curtain.reset();
        waitFor([] { return false; }, 50);  // let the fade's windows go
    }
    std::printf("Curtain latency under %s, %d runs (one warm-up run not counted)\n",
                qPrintable(QGuiApplication::platformName()), runs);
    report("present() itself", inPresent);
    report("present() -> keyboard held", toKeyboard);
    if (!toExposed.empty()) report("present() -> panel exposed", toExposed);
    const auto fromActivation = activationRuns(runs, services);
    if (!fromActivation.toKeyboard.empty()) {
        report("activation -> curtain requested", fromActivation.toRequest);
        report("activation -> keyboard held", fromActivation.toKeyboard);
    }
    xterm.terminate();
    xterm.waitForFinished(3000);
    return 0;
}
