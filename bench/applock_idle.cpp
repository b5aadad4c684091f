// Idle cost of app-lock monitoring: three protected applications (xterm clients with their own
// desktop entries) run while nothing happens; the monitor's poll and the X connection's notifier are
// all that wakes the process. Prints the CPU time used per second of wall time and the cost of one
// frontmost-application query. Run it on an X display with a window manager:
//   scripts/test-desktop build/bench/applock_idle [seconds]   (default 60)
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "AppLock/KorvelIDAppLock.h"
#include "Platform/X11WindowSystem.h"

namespace fs = std::filesystem;

namespace {
double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void runEventLoopFor(int ms) {
    QTimer::singleShot(ms, Qt::PreciseTimer, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
}

class NoCurtain final : public LockCurtain {
public:
    void present() override {}
};
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    if (!std::getenv("DISPLAY")) {
        std::fprintf(stderr, "applock_idle: no X display (run it under scripts/test-desktop)\n");
        return 1;
    }

    char dirTemplate[] = "/tmp/korvel-applock-bench-XXXXXX";
    if (!::mkdtemp(dirTemplate)) return 1;
    const fs::path dir = dirTemplate;
    const fs::path apps = dir / "applications";
    fs::create_directories(apps);
    const std::vector<std::string> classes = {"BenchAlpha", "BenchBravo", "BenchCharlie"};
    for (const auto& c : classes)
        std::ofstream(apps / ("bench-" + c + ".desktop")) << "[Desktop Entry]\nType=Application\nName=" << c
                                                           << "\nExec=xterm -class " << c << "\nStartupWMClass=" << c << "\n";

    auto windows = X11WindowSystem::open({{}, std::vector{apps}});
    if (windows->windowControl() != WindowControl::available) {
        std::fprintf(stderr, "applock_idle: no X11 window manager to watch\n");
        return 1;
    }
    std::vector<std::unique_ptr<QProcess>> clients;
    for (const auto& c : classes) {
        clients.push_back(std::make_unique<QProcess>());
        clients.back()->start("xterm", {"-class", QString::fromStdString(c)});
    }
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 10000) {
        runEventLoopFor(100);
        std::size_t seen = 0;
        for (const auto& c : classes) seen += windows->runningApplications("bench-" + c).empty() ? 0 : 1;
        if (seen == classes.size()) break;
    }

    int locks = 0;
    {
        AppLockController lock(windows, dir / "protected-apps.json");
        for (const auto& c : classes) lock.store().add({"bench-" + c, c, 0});
        lock.setCurtainFactory([&locks](const ProtectedApp&, WindowSystem&, std::function<void()>, std::function<void()>) {
            ++locks;
            return std::make_unique<NoCurtain>();
        });
        lock.startMonitoring();
        runEventLoopFor(1000);  // settle

        const double cpuBefore = cpuSeconds();
        QElapsedTimer wall;
        wall.start();
        runEventLoopFor(seconds * 1000);
        const double cpu = cpuSeconds() - cpuBefore;
        const double elapsed = double(wall.elapsed()) / 1000.0;

        constexpr int queries = 2000;
        QElapsedTimer q;
        q.start();
        for (int i = 0; i < queries; ++i) (void)windows->frontmostApplicationID();
        const double perQueryUs = double(q.nsecsElapsed()) / 1000.0 / queries;

        std::printf("app-lock monitor idle, %zu protected applications running, %.1f s\n", classes.size(), elapsed);
        std::printf("  CPU time            %.4f s\n", cpu);
        std::printf("  CPU load            %.4f %% of one core (target < 0.2 %%)\n", 100.0 * cpu / elapsed);
        std::printf("  polls               %.0f (every %lld ms)\n", elapsed * 1000.0 / double(AppActivationMonitor::pollInterval.count()),
                    static_cast<long long>(AppActivationMonitor::pollInterval.count()));
        std::printf("  frontmost query     %.1f us (mean of %d)\n", perQueryUs, queries);
        std::printf("  curtains requested  %d (the application in front at start is covered)\n", locks);
    }

    for (auto& c : clients) {
        c->terminate();
        c->waitForFinished(3000);
    }
    windows.reset();
    fs::remove_all(dir);
    return 0;
}
