#include "Vault/SerialWorker.h"

#include <pthread.h>

SerialWorker::SerialWorker(std::string name) {
    thread_ = std::thread([this, name = std::move(name)] {
        // Thread names are capped at 15 characters by the kernel.
        pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
        run();
    });
}

SerialWorker::~SerialWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void SerialWorker::post(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        ++pending_;
    }
    wake_.notify_one();
}

int SerialWorker::pending() const {
    std::lock_guard lock(mutex_);
    return pending_;
}

void SerialWorker::waitIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return pending_ == 0; });
}

void SerialWorker::run() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) return;  // stopping, and nothing left to run
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        try {
            job();
        } catch (...) {
            // A job reports its own failures; one that escapes must not end the thread.
        }
        {
            std::lock_guard lock(mutex_);
            --pending_;
        }
        idle_.notify_all();
    }
}
