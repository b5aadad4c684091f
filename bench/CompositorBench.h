#pragma once
// What the compositor benchmarks share: waiting on the event loop, printing a distribution, timing
// the curtain, and the idle CPU of this process and the compositor.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QString>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Curtain/LockCurtainWindow.h"

namespace CompositorBench {
// Polls while the events are handled (a timing loop: it never sleeps).
inline bool waitFor(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return true;
}

inline void report(const char* what, std::vector<double> ms) {
    if (ms.empty()) return;
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * double(ms.size() - 1) + 0.5))]; };
    std::printf("%-52s n=%zu  median %.1f ms  p95 %.1f ms  min %.1f  max %.1f\n", what, ms.size(), at(0.5), at(0.95),
                ms.front(), ms.back());
}

inline double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    if (line.empty()) return 0;
    const auto fields = QString::fromStdString(line.substr(line.rfind(')') + 2)).split(' ');
    if (fields.size() < 13) return 0;
    return (fields[11].toDouble() + fields[12].toDouble()) / double(sysconf(_SC_CLK_TCK));
}

inline double ownCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Ends a curtain through its password route, as a person would.
inline void unlock(LockCurtainWindow* curtain, const char* password) {
    if (CurtainModel* m = curtain != nullptr ? curtain->model() : nullptr) {
        m->usePassword();
        m->setPasswordInput(password);
        m->submitPassword();
    }
}

// The two figures of every compositor, `runs` times, each run starting with no curtain up:
// `activate` brings the protected app to the front, timed until `covered` (the curtain's key window
// has the focus); after the fade-in, `activate` again while the curtain is up, timed until the
// predicate `gapEnd` returns (made just before: the curtain has the focus again: the reaction gap);
// `dismiss` ends the curtain. False when a run saw no curtain within 5 s.
inline bool timeCurtain(int runs, const char* compositor, const std::function<bool()>& activate, const std::function<bool()>& covered,
                        const std::function<std::function<bool()>()>& gapEnd, const std::function<void()>& dismiss) {
    std::vector<double> activation, gap;
    QElapsedTimer clock;
    bool complete = true;
    const auto pause = [](int ms) { waitFor([] { return false; }, ms); };
    for (int i = 0; i < runs; ++i) {
        pause(150);
        clock.start();
        if (!activate() || !waitFor(covered, 5000)) {
            std::fprintf(stderr, "run %d: no curtain\n", i);
            complete = false;
            break;
        }
        activation.push_back(double(clock.nsecsElapsed()) / 1e6);
        pause(LockCurtainWindow::fadeInMs + 50);
        const auto back = gapEnd();
        clock.start();
        activate();
        if (waitFor(back, 5000))
            gap.push_back(double(clock.nsecsElapsed()) / 1e6);
        else
            std::fprintf(stderr, "run %d: the curtain did not have the focus again within 5 s\n", i);
        dismiss();
    }
    report(("activation -> curtain focused (" + std::string(compositor) + ")").c_str(), activation);
    report(("activation stolen -> curtain focused again (" + std::string(compositor) + ")").c_str(), gap);
    return complete;
}

// Ten seconds of a real event loop, as the program runs (waitFor polls), after one to settle.
inline void reportIdleCpu(const char* compositorName, pid_t compositor) {
    const auto idle = [](int ms) {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    };
    idle(1000);
    const double ownBefore = ownCpuSeconds(), compositorBefore = cpuSeconds(compositor);
    idle(10000);
    std::printf("idle 10 s, monitoring on: this process %.1f ms CPU/s, %s %.1f ms CPU/s\n", (ownCpuSeconds() - ownBefore) * 100.0,
                compositorName, (cpuSeconds(compositor) - compositorBefore) * 100.0);
}
}  // namespace CompositorBench
