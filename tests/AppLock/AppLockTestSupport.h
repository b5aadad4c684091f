#pragma once
// A window system driven by the test, a wall clock the test moves, and curtains that record what
// the app lock asks of them and end when the test says so.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AppLock/LockCurtain.h"
#include "AppLock/WindowSystem.h"

class ScriptedWindowSystem final : public WindowSystem {
public:
    std::optional<std::string> front;
    std::vector<RunningApplication> running;
    std::optional<std::string> fileManager;
    std::vector<std::string> requests;  // "hide A/12", "activate Files/3", in order

    // The window manager acting on a request at once: hiding takes the application out of the
    // front, activating puts it there (without an event, which the real one sends later).
    bool obeys = true;

    // The user brings an application to the front; the window system reports it.
    void bring(const std::string& id) {
        front = id;
        notifyActivated(id);
    }
    // The front changes without an event (only the poll can see it).
    void bringSilently(std::optional<std::string> id) { front = std::move(id); }
    void quit(const std::string& id) {
        std::erase_if(running, [&](const RunningApplication& a) { return a.applicationID == id; });
        if (front == id) front.reset();
        notifyTerminated(id);
    }
    void sendActivationEvent(const std::string& id) { notifyActivated(id); }

    std::optional<std::string> frontmostApplicationID() override { return front; }
    std::vector<RunningApplication> runningApplications() override { return running; }
    using WindowSystem::runningApplications;
    void hide(const RunningApplication& app) override {
        requests.push_back("hide " + app.applicationID + "/" + std::to_string(app.pid));
        if (obeys && front == app.applicationID) front.reset();
    }
    void restore(const RunningApplication& app) override {
        requests.push_back("restore " + app.applicationID + "/" + std::to_string(app.pid));
    }
    void activate(const RunningApplication& app) override {
        requests.push_back("activate " + app.applicationID + "/" + std::to_string(app.pid));
        if (obeys) front = app.applicationID;
    }
    std::optional<std::string> defaultFileManagerID() override { return fileManager; }
    WindowControl windowControl() override { return WindowControl::available; }
};

class ManualClock {
public:
    std::chrono::system_clock::time_point now = std::chrono::system_clock::time_point(std::chrono::hours(500000));
    void advance(std::chrono::seconds s) { now += s; }
    auto function() { return [this] { return now; }; }
};

// Every curtain the app lock asked for, in order.
struct CurtainRecord {
    ProtectedApp app;
    std::function<void()> onUnlocked, onCancelled;
    int presented = 0;
    bool destroyed = false;
    void unlock() const { onUnlocked(); }
    void cancel() const { onCancelled(); }
};

class CurtainLog {
public:
    std::vector<std::shared_ptr<CurtainRecord>> curtains;
    // Called inside present(), e.g. to end at once as a curtain without screens does.
    std::function<void(CurtainRecord&)> whilePresenting;

    std::size_t count() const { return curtains.size(); }
    CurtainRecord& last() { return *curtains.back(); }
    std::vector<std::string> ids() const {
        std::vector<std::string> out;
        for (const auto& c : curtains) out.push_back(c->app.bundleIdentifier);
        return out;
    }

    LockCurtainFactory factory() {
        return [this](const ProtectedApp& app, WindowSystem&, std::function<void()> onUnlocked, std::function<void()> onCancelled) {
            auto record = std::make_shared<CurtainRecord>(CurtainRecord{app, std::move(onUnlocked), std::move(onCancelled)});
            curtains.push_back(record);
            return std::make_unique<Curtain>(record, this);
        };
    }

private:
    class Curtain final : public LockCurtain {
    public:
        Curtain(std::shared_ptr<CurtainRecord> record, CurtainLog* log) : record_(std::move(record)), log_(log) {}
        ~Curtain() override { record_->destroyed = true; }
        void present() override {
            ++record_->presented;
            if (log_->whilePresenting) log_->whilePresenting(*record_);
        }

    private:
        std::shared_ptr<CurtainRecord> record_;
        CurtainLog* log_;
    };
};
