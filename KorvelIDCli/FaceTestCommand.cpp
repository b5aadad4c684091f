// faces test: one real scan through the application's engine, with what it saw frame by frame.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <vector>

#include "Commands.h"
#include "FaceEngine.h"
#include "Localization/Localization.h"
#include "Session.h"

namespace Cli {
namespace {

std::string ms(const std::optional<double>& seconds) {
    if (!seconds) return "     -";
    char b[16];
    std::snprintf(b, sizeof b, "%6.1f", *seconds * 1000);
    return b;
}

// A calibrated distance can fall a hair below zero; shown to three places that is "-0.000".
double shown(double v) { return std::fabs(v) < 0.0005 ? 0.0 : v; }

std::string value(const std::optional<float>& v) {
    if (!v) return "    -";
    char b[16];
    std::snprintf(b, sizeof b, "%5.3f", shown(*v));
    return b;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Every examined frame, as a table row, and the figures the summary needs.
class TraceTable {
public:
    void header() const {
        std::cout << "   time  detect  landm  descr  quality  open  tracker  distance  blinks\n";
    }
    void add(const FrameTrace& t) {
        char line[160];
        std::snprintf(line, sizeof line, "%7.3f  %s %s %s    %s %s    %s     %s  %6lld%s\n", t.time, ms(t.detectSeconds).c_str(),
                      ms(t.landmarkSeconds).c_str(), ms(t.descriptorSeconds).c_str(), value(t.quality).c_str(),
                      value(t.openness).c_str(), value(t.trackerOpenness).c_str(), value(t.distance).c_str(),
                      static_cast<long long>(t.blinks), t.blinks > blinks_ ? "  blink" : "");
        std::cout << line << std::flush;
        blinks_ = t.blinks;
        ++frames_;
        last_ = t.time;
        if (t.detectSeconds) detect_.push_back(*t.detectSeconds);
        if (t.landmarkSeconds) landmarks_.push_back(*t.landmarkSeconds);
        if (t.descriptorSeconds) descriptor_.push_back(*t.descriptorSeconds);
        if (t.distance) best_ = std::min(best_.value_or(*t.distance), *t.distance);
    }
    void summary(float threshold) const {
        char line[200];
        std::snprintf(line, sizeof line,
                      "Frames: %d in %.2f s (%.1f per second); median detect %.1f ms, landmarks %.1f ms, descriptor %.1f ms\n",
                      frames_, last_, last_ > 0 ? frames_ / last_ : 0.0, median(detect_) * 1000, median(landmarks_) * 1000,
                      median(descriptor_) * 1000);
        std::cout << line;
        if (best_)
            std::snprintf(line, sizeof line, "Best distance: %.3f against the threshold %.2f (%s); blinks: %lld\n",
                          shown(*best_), static_cast<double>(threshold), *best_ <= threshold ? "within" : "beyond",
                          static_cast<long long>(blinks_));
        else
            std::snprintf(line, sizeof line, "Best distance: none (no face compared); blinks: %lld\n", static_cast<long long>(blinks_));
        std::cout << line;
    }

    // The face matched somewhere in the scan but no blink was ever seen.
    bool matchedWithoutBlink(float threshold) const { return best_ && *best_ <= threshold && blinks_ == 0; }

private:
    int frames_ = 0;
    double last_ = 0;
    std::int64_t blinks_ = 0;
    std::optional<float> best_;
    std::vector<double> detect_, landmarks_, descriptor_;
};

int report(const AuthResult& r, bool matchedWithoutBlink) {
    char line[160];
    switch (r.kind) {
    case AuthResult::Kind::matched:
        std::snprintf(line, sizeof line, "Result: matched %s (distance %.3f)", r.name.c_str(), shown(r.distance));
        std::cout << line << "\n";
        return Exit::ok;
    case AuthResult::Kind::noMatch:
        std::cout << (matchedWithoutBlink ? "Result: no match: the face matched but never blinked (a blink is required)\n"
                                          : "Result: no match\n");
        return Exit::failed;
    case AuthResult::Kind::noFace: std::cout << "Result: no face seen\n"; return Exit::failed;
    case AuthResult::Kind::cancelled: std::cout << "Result: cancelled\n"; return Exit::failed;
    case AuthResult::Kind::lockedOut: std::cerr << "korvel-id-cli: " << L("curtain.faceLocked") << "\n"; return Exit::failed;
    case AuthResult::Kind::cameraError: std::cerr << "korvel-id-cli: " << r.description << "\n"; return Exit::cameraError;
    }
    return Exit::failed;
}

}  // namespace

int facesTest(const Arguments& a) {
    Settings settings = Settings::load();
    AuthEngine::Options options;
    if (a.has("--no-liveness")) settings.requireLiveness = false, options.approvalsCount = false;
    auto face = makeFaceEngine(a, settings, std::move(options));
    if (face.store->profiles.empty()) throw Failure("No face is enrolled; use \"korvel-id-cli faces enroll\".");
    std::cout << "Scanning for up to " << settings.scanTimeout << " s against " << face.store->profiles.size()
              << " profile(s); blink " << (settings.livenessRequired() ? "required" : "not required") << "\n";
    TraceTable table;
    table.header();
    face.engine->setOnFrameTrace([&table](const FrameTrace& t) { table.add(t); });
    const AuthResult result = face.engine->authenticate({}, interruptToken());
    const int status = report(result, settings.livenessRequired() && table.matchedWithoutBlink(settings.effectiveThreshold()));
    table.summary(settings.effectiveThreshold());
    return status;
}

}  // namespace Cli
