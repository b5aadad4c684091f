#pragma once
// The identity controller under test: a scripted engine, a display recording what it was told, an
// enrolment window stand-in, and a fixture installing them with a private data folder.
#include <gtest/gtest.h>

#include <QFuture>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../Face/ScriptedCamera.h"
#include "Identity/KorvelIDController.h"
#include "ScriptedAuthenticator.h"
#include "TestSupport.h"

namespace IdentityTest {

using Calls = std::vector<std::string>;

// Every call as a line: "ensureVisible", "progress 0.5", "approved Ada 2.2", …
class RecordingDisplay final : public ScanDisplay {
public:
    explicit RecordingDisplay(std::shared_ptr<Calls> calls) : calls_(std::move(calls)) {}
    void ensureVisible() override { calls_->push_back("ensureVisible"); }
    void beginScanning() override { calls_->push_back("beginScanning"); }
    void hide() override { calls_->push_back("hide"); }
    void updateProgress(double p) override { calls_->push_back("progress " + number(p)); }
    void showBlinkPrompt() override { calls_->push_back("blink"); }
    void showHint(const std::string& hint) override { calls_->push_back("hint " + hint); }
    void showApproved(const std::string& name, double after) override {
        calls_->push_back("approved " + name + " " + number(after));
    }
    void showDenied(const std::string& reason, double after) override {
        calls_->push_back("denied " + reason + " " + number(after));
    }

private:
    static std::string number(double v) {
        std::ostringstream out;
        out << v;
        return out.str();
    }
    std::shared_ptr<Calls> calls_;
};

// Stands in for the enrolment window: it is open from show() until the test closes it.
class FakePresenter final : public EnrollmentPresenter {
public:
    struct Log {
        int shows = 0;
        std::function<void()> onFinished;
    };
    explicit FakePresenter(std::shared_ptr<Log> log) : log_(std::move(log)) {}
    void show() override { ++log_->shows; }
    void setOnFinished(std::function<void()> onFinished) override { log_->onFinished = std::move(onFinished); }

private:
    std::shared_ptr<Log> log_;
};

// An engine on the script for the controller; `enrollmentWindow` in seconds.
inline KorvelIDController::EngineFactory scriptedEngine(std::shared_ptr<Scripted::Script> script,
                                                        double enrollmentWindow = 0.5) {
    return [script, enrollmentWindow](FaceStore& store, Settings settings) {
        AuthEngine::Options options;
        options.enrollmentWindow = enrollmentWindow;
        return Scripted::engine(store, script, std::move(settings), options);
    };
}

using TestSupport::await;
using TestSupport::cameraOff;

// A controller on a private data folder and the scripted engine, a recording display and the
// stand-in enrolment window; everything is put back afterwards.
class ControllerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        KorvelIDController::configure({dir.path(), scriptedEngine(script), [] { return CameraAccess::granted; }});
        KorvelIDController::setScanDisplayFactory([this] {
            ++displaysBuilt;
            return std::make_unique<RecordingDisplay>(calls);
        });
        KorvelIDController::setEnrollmentPresenterFactory([this](AuthEngine&, CameraAccessCheck) {
            return std::make_unique<FakePresenter>(presenter);
        });
    }
    void TearDown() override {
        KorvelIDController::configure({});
        KorvelIDController::setScanDisplayFactory({});
        KorvelIDController::setEnrollmentPresenterFactory({});
        EXPECT_TRUE(cameraOff());
    }

    KorvelIDController& controller() { return KorvelIDController::shared(); }
    void enrol(const std::string& name) {
        controller().store().profiles.push_back(Scripted::profile(name, {{1, 0, 0}}));
    }
    // Quick scans: no blink unless asked, a short window.
    void tune(bool liveness = false, std::int64_t required = 2, double window = 0.3) {
        Settings s;
        s.requireLiveness = liveness;
        s.requiredConsecutiveMatches = required;
        s.scanTimeout = window;
        controller().engine().setSettings(s);
    }

    TestSupport::TempDir dir;
    std::shared_ptr<Scripted::Script> script = std::make_shared<Scripted::Script>();
    std::shared_ptr<Calls> calls = std::make_shared<Calls>();
    std::shared_ptr<FakePresenter::Log> presenter = std::make_shared<FakePresenter::Log>();
    int displaysBuilt = 0;
};

}  // namespace IdentityTest

inline void PrintTo(const UnlockResult& r, std::ostream* os) {
    static const char* names[] = {"approved", "denied", "cameraUnavailable", "notEnrolled"};
    *os << names[static_cast<int>(r.kind)];
    if (r.kind == UnlockResult::Kind::approved) *os << "(" << r.name << ")";
    if (r.kind == UnlockResult::Kind::denied) *os << "(" << r.reason << ")";
}
