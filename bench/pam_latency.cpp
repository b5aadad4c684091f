// Face authentication through PAM, timed end to end: the real module (pam_start_confdir with a
// private configuration folder), korvel-authd from the tree on a private socket, and the
// recorded blinking video as the camera. Run as root (the service trusts only root's files):
//   sudo build/bench/pam_latency [runs]   (default 5)
// Warm: the service runs and its engine is loaded; for each pam_authenticate: to the first
// examined frame (the camera or video open inside it shown separately), and from the blinking
// frame to the decision and to pam_authenticate's return. Then the idle service's memory and
// CPU. Cold: the same with the service started afresh for each attempt (models loaded per
// attempt, as a per-attempt tool does). Times come from the service's "Scan timing" lines
// (monotonic clock, shared with this process), read from its standard error.
#include <security/pam_appl.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "System/SystemFace.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

fs::path g_root;
std::mutex g_logMutex;
std::vector<std::string> g_log;

long long nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

pid_t startService(const fs::path& config) {
    int out[2];
    if (::pipe(out) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 2);
        ::close(out[0]);
        ::setenv("QT_LOGGING_RULES", "com.korvel.id.face.debug=true", 1);
        const std::string socket = (g_root / "authd.sock").string(), state = (g_root / "state").string();
        ::execl(KORVEL_AUTHD, KORVEL_AUTHD, "--socket", socket.c_str(), "--state", state.c_str(), "--config",
                config.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::thread([fd = out[0]] {
        FILE* in = ::fdopen(fd, "r");
        char line[1024];
        while (in && std::fgets(line, sizeof line, in)) {
            std::lock_guard lock(g_logMutex);
            g_log.emplace_back(line);
        }
        if (in) std::fclose(in);
    }).detach();
    while (!fs::exists(g_root / "authd.sock")) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return pid;
}

void stopService(pid_t pid) {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    fs::remove(g_root / "authd.sock");
}

bool logged(const std::string& text) {
    std::lock_guard lock(g_logMutex);
    return std::any_of(g_log.begin(), g_log.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

struct Timing {
    long long began = -1, first = -1, blink = -1, decided = -1;
};

std::optional<Timing> lastTiming() {
    std::lock_guard lock(g_logMutex);
    for (auto it = g_log.rbegin(); it != g_log.rend(); ++it) {
        Timing t;
        const char* line = std::strstr(it->c_str(), "Scan timing (monotonic ns): ");
        if (line && std::sscanf(line, "Scan timing (monotonic ns): began %lld, first frame %lld, blink frame %lld, decided %lld",
                                &t.began, &t.first, &t.blink, &t.decided) == 4)
            return t;
    }
    return std::nullopt;
}

int conversation(int n, const pam_message**, pam_response** r, void*) {
    *r = static_cast<pam_response*>(std::calloc(static_cast<std::size_t>(n), sizeof(pam_response)));
    return PAM_SUCCESS;
}

int authenticate() {
    pam_conv conv{conversation, nullptr};
    pam_handle_t* h = nullptr;
    if (pam_start_confdir("bench", "root", &conv, (g_root / "pam").c_str(), &h) != PAM_SUCCESS) return -1;
    const int status = pam_authenticate(h, 0);
    pam_end(h, status);
    return status;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Figures {
    std::vector<double> toFirst, cameraOpen, blinkToDecision, blinkToReturn, total;
    int failures = 0;
    void add(long long t0, long long t1, int status) {
        const auto t = lastTiming();
        if (status != PAM_SUCCESS || !t || t->first < 0 || t->blink < 0) {
            ++failures;
            return;
        }
        toFirst.push_back((t->first - t0) / 1e6);
        cameraOpen.push_back((t->first - t->began) / 1e6);
        blinkToDecision.push_back((t->decided - t->blink) / 1e6);
        blinkToReturn.push_back((t1 - t->blink) / 1e6);
        total.push_back((t1 - t0) / 1e6);
    }
    void print(const char* name) const {
        std::printf("%s (%zu runs, %d failed): median ms — pam_authenticate to first examined frame %.0f "
                    "(of which camera/video open %.0f); blink frame to decision %.0f, to pam_authenticate's return %.0f; "
                    "whole attempt %.0f\n",
                    name, total.size(), failures, median(toFirst), median(cameraOpen), median(blinkToDecision),
                    median(blinkToReturn), median(total));
    }
};

long procTicks(pid_t pid) {
    FILE* in = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "re");
    if (!in) return 0;
    char text[1024] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, in);
    std::fclose(in);
    const char* after = std::strrchr(text, ')');
    long utime = 0, stime = 0;
    // Fields 14 and 15 (user and system time) follow the name, state and eleven more fields.
    if (n > 0 && after && std::sscanf(after + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime) == 2)
        return utime + stime;
    return 0;
}

std::string rss(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return line.substr(6);
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (::getuid() != 0) {
        std::fprintf(stderr, "pam_latency: run as root (the service trusts only root's configuration)\n");
        return 2;
    }
    const fs::path video = fs::path(KORVEL_TEST_DATA) / "blink" / "franck_talking_face_blinks_22s.mp4";
    if (!fs::exists(video)) {
        std::fprintf(stderr, "pam_latency: %s not found\n", video.c_str());
        return 2;
    }
    char name[] = "/tmp/korvel-pam-bench-XXXXXX";
    g_root = ::mkdtemp(name);
    fs::create_directories(g_root / "pam");
    fs::create_directory(g_root / "state");
    ::chmod((g_root / "state").c_str(), 0700);
    std::ofstream(g_root / "pam" / "bench") << "auth required " << KORVEL_PAM_MODULE << " socket=" << (g_root / "authd.sock").string() << "\n";
    // 8.5 s into the recording: the first blink comes about 0.6 s after the camera opens.
    const fs::path config = g_root / "system.json";
    std::ofstream(config) << R"({"video":")" << fs::canonical(video).string() << R"(","videoStart":8.5,"timeout":8})";
    ::setenv("KORVEL_AUTHD_SOCKET", (g_root / "authd.sock").c_str(), 1);

    pid_t service = startService(config);
    const auto enrolled = SystemFace::enroll("root", {}, {});
    if (!enrolled.ok()) {
        std::fprintf(stderr, "pam_latency: enrolment failed: %s\n", enrolled.message.c_str());
        stopService(service);
        fs::remove_all(g_root);
        return 1;
    }
    while (!logged("Face service ready")) std::this_thread::sleep_for(std::chrono::milliseconds(10));

    Figures warm;
    for (int i = 0; i < runs; ++i) {
        const long long t0 = nowNs();
        const int status = authenticate();
        warm.add(t0, nowNs(), status);
    }
    warm.print("warm service");

    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    const long before = procTicks(service);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const long used = procTicks(service) - before;
    std::printf("idle service: resident memory%s, CPU %.2f %% of one core over 10 s\n", rss(service).c_str(),
                100.0 * static_cast<double>(used) / static_cast<double>(ticksPerSecond) / 10.0);

    Figures cold;
    for (int i = 0; i < runs; ++i) {
        stopService(service);
        const long long t0 = nowNs();
        service = startService(config);
        const int status = authenticate();
        cold.add(t0, nowNs(), status);
    }
    cold.print("cold engine per attempt (service started, models loaded, then the scan)");
    stopService(service);
    fs::remove_all(g_root);
    return 0;
}
