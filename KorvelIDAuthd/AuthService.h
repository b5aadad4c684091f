#pragma once
// korvel-authd's work: requests from the socket, each on its own short-lived thread, and one
// scanning thread that owns the face engine and the camera and serves scans and enrolments in
// the order they came.
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Face/AuthEngine.h"
#include "System/AuthProtocol.h"
#include "TrustedFiles.h"

class AuthService {
public:
    struct Options {
        std::string verifySocket = "/run/korvel-id/verify.sock";  // the password helper
        int maxFailures = 5;
        // Seconds a request may wait for the camera: someone at sudo behind another scan gets
        // the password prompt soon rather than a silent wait. At least the configured scan
        // time-out and a little more, so one whole scan ahead is always waited out.
        double queueWait = 10;
    };

    AuthService(SystemConfig config, SystemEnrollments& enrollments, Options options);
    ~AuthService();  // cancels every request and releases the camera
    AuthService(const AuthService&) = delete;
    AuthService& operator=(const AuthService&) = delete;

    // Accepts callers until `stopFd` becomes readable (the signal descriptor of SIGTERM/SIGINT).
    void serve(int listenFd, int stopFd);

    // Connections being handled, counted per caller's uid: a user who keeps opening connections
    // fills only a few, so another user's sudo and the login screen (root's, with slots kept for
    // it) are still heard.
    class CallerSlots {
    public:
        static constexpr int total = 32, perUser = 4, keptForRoot = 8;
        bool take(uid_t uid);
        void release(uid_t uid);
        bool empty() const;

    private:
        mutable std::mutex mutex_;
        std::map<uid_t, int> held_;
        int users_ = 0;  // held by uids other than root
        int all_ = 0;
    };

private:
    struct Job;
    struct Caller {
        AuthProtocol::Connection connection;
        pid_t pid = 0;
        uid_t uid = 0;
    };
    void handle(Caller caller);
    void authenticate(Caller& caller, const AuthProtocol::Message& request);
    // Wipes the password in `request` as soon as it is checked, before the capture's seconds.
    void enroll(Caller& caller, AuthProtocol::Message& request);
    // Queues `job`, relays its progress and waits for it; a caller that hangs up cancels it.
    AuthProtocol::Message run(Caller& caller, const std::shared_ptr<Job>& job);
    void work();
    void scan(Job& job);
    void capture(Job& job);
    bool checkPassword(const std::string& user, AuthProtocol::Message& request);
    std::optional<std::string> cameraMissing() const;

    SystemConfig config_;
    SystemEnrollments& enrollments_;
    Options options_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<Job>> queue_;
    std::shared_ptr<Job> current_;  // the one with the camera
    bool ending_ = false;
    CallerSlots slots_;

    // The scanning thread's alone once it runs.
    std::unique_ptr<FaceStore> store_;
    std::unique_ptr<AuthEngine> engine_;
    std::thread worker_;
};
