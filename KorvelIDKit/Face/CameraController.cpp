#include "Face/CameraController.h"

#include <pthread.h>

#include "Face/CameraActivity.h"
#include "Support/Logger.h"

CameraError::CameraError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {
    switch (kind_) {
    case Kind::configurationFailed: description_ = "Camera configuration failed: " + detail_; break;
    case Kind::notAuthorized: description_ = "Camera permission was not granted."; break;
    case Kind::noDevice: description_ = "No usable camera found."; break;
    }
}

// MARK: - SerialQueue

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    thread_ = std::thread([this] { run(); });
    std::string name = label_;
    static constexpr std::string_view prefix = "com.korvel.id.";
    if (name.starts_with(prefix)) name.erase(0, prefix.size());
    name.resize(std::min<std::size_t>(name.size(), 15));
    pthread_setname_np(thread_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void SerialQueue::async(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

std::string SerialQueue::threadName() const {
    char name[16] = {};
    pthread_getname_np(const_cast<std::thread&>(thread_).native_handle(), name, sizeof name);
    return name;
}

void SerialQueue::run() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return !jobs_.empty() || ending_; });
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        try {
            job();
        } catch (const std::exception& e) {
            Log::camera().error(strprintf("%s: unexpected error: %s", label_.c_str(), e.what()));
        }
    }
}

// MARK: - CameraController

CameraController::CameraController(FrameSourceFactory makeSource, Clock clock)
    : makeSource_(std::move(makeSource)),
      clock_(clock ? std::move(clock)
                   : Clock([] {
                         return std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::steady_clock::now().time_since_epoch());
                     })),
      sessionQueue_(sessionQueueLabel),
      outputQueue_(outputQueueLabel) {}

CameraController::~CameraController() {
    sessionQueue_.sync([this] {
        if (isRunning_ || source_) stopLocked();
    });
    // A capture loop that ended by itself just before may have queued its own stop: let it run
    // while everything is still here.
    sessionQueue_.sync([] {});
}

void CameraController::start() {
    sessionQueue_.sync([this] {
        const bool wasRunning = isRunning_;
        try {
            configureLocked();
        } catch (...) {
            stopCaptureLocked();
            isRunning_ = false;
            // A failed restart leaves the camera off, so the indicator must say so.
            if (wasRunning) CameraActivity::shared().cameraStopped();
            throw;
        }
        captureStop_ = std::stop_source();
        auto run = std::make_shared<CaptureRun>();
        capture_ = run;
        outputQueue_.async([this, source = source_, token = captureStop_.get_token(), run] {
            try {
                while (!token.stop_requested()) {
                    cv::Mat frame;  // fresh each time: a delivered frame is the consumer's to keep
                    if (!source->read(frame, token) || token.stop_requested()) break;
                    deliver(frame);
                }
            } catch (const std::exception& e) {
                Log::camera().error(strprintf("Camera read error: %s", e.what()));
            }
            bool closeHere = false;
            {
                std::lock_guard lock(run->mutex);
                closeHere = run->abandoned;
                // Frames stopped without a stop(): release the device now rather than at the end of
                // the scan. Queued before `finished` is set, so a stop() waiting for it comes first.
                if (!closeHere && !token.stop_requested()) {
                    Log::camera().error("Camera stopped delivering frames; releasing it.");
                    sessionQueue_.async([this, run] {
                        if (capture_ == run) stopLocked();
                    });
                }
                run->finished = true;
            }
            run->ended.notify_all();
            if (closeHere) source->close();
        });
        isRunning_ = true;
        // A restart of a running camera reconfigures it but is still one camera in use.
        if (!wasRunning) CameraActivity::shared().cameraStarted();
        Log::camera().info("Camera session started.");
    });
}

void CameraController::stop() {
    sessionQueue_.async([this] { stopLocked(); });
}

void CameraController::waitUntilSettled() {
    sessionQueue_.sync([] {});
}

void CameraController::configureLocked() {
    // Drop whatever an earlier start left attached before choosing the device again.
    stopCaptureLocked();
    std::unique_ptr<FrameSource> source = makeSource_ ? makeSource_() : nullptr;
    if (!source) throw CameraError::noDevice();
    try {
        source->open();
    } catch (...) {
        source->close();
        throw;
    }
    source_ = std::move(source);
    Log::camera().info(strprintf("Camera device: %s", source_->deviceName().c_str()));
}

void CameraController::stopCaptureLocked() {
    if (capture_) {
        captureStop_.request_stop();
        std::unique_lock lock(capture_->mutex);
        if (!capture_->ended.wait_for(lock, stopWait, [this] { return capture_->finished; })) {
            capture_->abandoned = true;
            lock.unlock();
            Log::camera().error("Camera read did not return after stop; the device is released when it does.");
            capture_.reset();
            source_.reset();
            return;
        }
        lock.unlock();
        capture_.reset();
    }
    if (source_) {
        source_->close();
        source_.reset();
    }
}

void CameraController::stopLocked() {
    const bool wasRunning = isRunning_;
    stopCaptureLocked();
    isRunning_ = false;
    if (wasRunning) CameraActivity::shared().cameraStopped();
    Log::camera().info("Camera session stopped and released.");
}

void CameraController::setOnFrame(FrameHandler handler) {
    std::lock_guard lock(frameLock_);
    onFrame_ = std::move(handler);
}

bool CameraController::hasOnFrame() const {
    std::lock_guard lock(frameLock_);
    return static_cast<bool>(onFrame_);
}

bool CameraController::isRunning() const {
    return isRunning_;
}

void CameraController::deliver(const cv::Mat& frame) {
    // The clock is read before the frame is looked at, so a frame without an image still counts.
    const auto now = clock_();
    if (now - lastDeliveredAt_ < minFrameInterval) return;
    lastDeliveredAt_ = now;
    if (frame.empty()) return;
    FrameHandler handler;
    {
        std::lock_guard lock(frameLock_);
        handler = onFrame_;
    }
    if (handler) handler(CameraFrame{frame, std::chrono::duration<double>(now).count()});
}

// MARK: - FrameStream

void FrameStream::yield(CameraFrame frame) {
    {
        std::lock_guard lock(mutex_);
        if (finished_) return;
        pending_ = std::move(frame);
    }
    changed_.notify_all();
}

void FrameStream::finish() {
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    changed_.notify_all();
}

std::optional<CameraFrame> FrameStream::next(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, stop, [this] { return pending_.has_value() || finished_; });
    if (pending_) {
        std::optional<CameraFrame> frame = std::move(pending_);
        pending_.reset();
        return frame;
    }
    finished_ = true;  // also when the wait was cancelled
    return std::nullopt;
}

bool FrameStream::isFinished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}
