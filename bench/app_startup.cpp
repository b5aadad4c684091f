// Start-up figures of the application: time from launch to its first window being mapped, and its
// resident memory once idle (before any scan). Runs the real program with a fresh temporary HOME;
// needs an X display (scripts/test-desktop bench-build/bench/app_startup).
//
//   app_startup [--runs N] [--program PATH]
#include <X11/Xlib.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {
long residentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// Waits for a MapNotify among the root window's children (the window manager's frame, or the
// window itself); other clients of the test desktop are idle.
bool waitForMap(Display* display, Clock::time_point deadline) {
    while (Clock::now() < deadline) {
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == MapNotify) return true;
        }
        usleep(500);
    }
    return false;
}
}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    std::string program = KORVEL_APP_BINARY;
    for (int i = 1; i + 1 < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs")) runs = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--program")) program = argv[++i];
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) return std::puts("no X display (run inside scripts/test-desktop)"), 1;
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    std::vector<double> times;
    std::vector<long> memory;
    for (int run = 0; run < runs; ++run) {
        const fs::path home = fs::temp_directory_path() / ("korvel-startup-" + std::to_string(::getpid()) + "-" + std::to_string(run));
        fs::create_directories(home);
        XSync(display, True);  // drop events from before the launch
        const auto start = Clock::now();
        const pid_t child = fork();
        if (child == 0) {
            setenv("HOME", home.c_str(), 1);
            setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
            setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        const bool mapped = waitForMap(display, start + std::chrono::seconds(20));
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        usleep(1'500'000);  // idle
        const long rss = residentKiB(child);
        kill(child, SIGTERM);
        int status = 0;
        waitpid(child, &status, 0);
        std::error_code ec;
        fs::remove_all(home, ec);
        if (!mapped) return std::puts("no window was mapped within 20 s"), 1;
        times.push_back(ms);
        memory.push_back(rss);
        std::printf("run %d: first window mapped after %.0f ms, resident %.1f MiB at idle, exit %s\n", run + 1, ms,
                    double(rss) / 1024.0, WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "clean" : "not clean");
    }
    std::sort(times.begin(), times.end());
    std::sort(memory.begin(), memory.end());
    std::printf("median: %.0f ms to first window (target < 400), %.1f MiB resident (target < 80)\n",
                times[times.size() / 2], double(memory[memory.size() / 2]) / 1024.0);
    XCloseDisplay(display);
    return 0;
}
