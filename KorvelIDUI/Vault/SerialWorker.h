#pragma once
// One background thread that runs jobs one after another, in the order they were queued. The vault
// page does all of its store work here so a large file never holds up the window, and so a lock
// queued behind a running export waits for it (no decrypted copy can appear after the lock).
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class SerialWorker {
public:
    explicit SerialWorker(std::string name);
    // Runs the jobs already queued, then joins the thread.
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    void post(std::function<void()> job);
    // Jobs queued or running.
    int pending() const;
    // Blocks until every job queued so far has run (tests, shutdown).
    void waitIdle();

private:
    void run();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> jobs_;
    int pending_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};
