// faces test: one real scan through the application's engine, with what it saw.
#include <chrono>
#include <cstdio>
#include <iostream>

#include "Commands.h"
#include "FaceEngine.h"
#include "Session.h"

namespace Cli {
namespace {

const char* statusName(const ScanStatus& s) {
    switch (s.kind) {
    case ScanStatus::Kind::progress: return "progress";
    case ScanStatus::Kind::searching: return "searching";
    case ScanStatus::Kind::faceFound: return "face found";
    case ScanStatus::Kind::needBlink: return "blink now";
    }
    return "";
}

int report(const AuthResult& r, float threshold) {
    char line[160];
    switch (r.kind) {
    case AuthResult::Kind::matched:
        std::snprintf(line, sizeof line, "Result: matched %s (distance %.3f, threshold %.2f)", r.name.c_str(), r.distance, threshold);
        std::cout << line << "\n";
        return Exit::ok;
    case AuthResult::Kind::noMatch:
        if (r.bestDistance)
            std::snprintf(line, sizeof line, "Result: no match (best distance %.3f, threshold %.2f)", *r.bestDistance, threshold);
        else
            std::snprintf(line, sizeof line, "Result: no match (nobody is enrolled)");
        std::cout << line << "\n";
        return Exit::failed;
    case AuthResult::Kind::noFace: std::cout << "Result: no face seen\n"; return Exit::failed;
    case AuthResult::Kind::cancelled: std::cout << "Result: cancelled\n"; return Exit::failed;
    case AuthResult::Kind::cameraError: std::cerr << "korvel-id-cli: " << r.description << "\n"; return Exit::cameraError;
    }
    return Exit::failed;
}

}  // namespace

int facesTest(const Arguments& a) {
    Settings settings = Settings::load();
    if (a.has("--no-liveness")) settings.requireLiveness = false;
    auto face = makeFaceEngine(a, settings);
    const auto start = std::chrono::steady_clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    std::cout << "Scanning for " << settings.scanTimeout << " s, " << face.store->profiles.size() << " profile(s), blink "
              << (settings.livenessRequired() ? "required" : "not required") << "\n";
    const AuthResult result = face.engine->authenticate([&](const ScanStatus& s) {
        char line[96];
        std::snprintf(line, sizeof line, "%7.3f s  %s", seconds(), statusName(s));
        std::cout << line;
        if (s.kind == ScanStatus::Kind::progress) std::cout << " " << s.matches << "/" << s.required;
        std::cout << "\n" << std::flush;
    }, interruptToken());
    return report(result, settings.effectiveThreshold());
}

}  // namespace Cli
