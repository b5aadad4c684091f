#pragma once
// The camera: a frame source opened and closed on a serial session thread, frames read and handed
// to one callback on a serial output thread, at most one frame per 0.05 s.
#include <opencv2/core.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

// The three ways the camera can fail to start. `description()` is the text shown to the user.
class CameraError : public std::exception {
public:
    enum class Kind { configurationFailed, notAuthorized, noDevice };

    static CameraError configurationFailed(std::string detail) { return {Kind::configurationFailed, std::move(detail)}; }
    static CameraError notAuthorized() { return {Kind::notAuthorized, {}}; }
    static CameraError noDevice() { return {Kind::noDevice, {}}; }

    Kind kind() const { return kind_; }
    const std::string& detail() const { return detail_; }
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    CameraError(Kind kind, std::string detail);
    Kind kind_;
    std::string detail_;
    std::string description_;
};

// One camera (or a recording standing in for one). Used from one thread at a time: opened and
// closed on the session thread, read on the output thread while open.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // Acquires the device. Throws CameraError.
    virtual void open() = 0;
    // Blocks until the next frame (8-bit BGR) and reads it into `frame`, which the caller passes
    // empty so that delivered frames never share pixels. False when the source has no more frames
    // or `stop` was requested while waiting.
    virtual bool read(cv::Mat& frame, std::stop_token stop) = 0;
    // Releases the device; safe to call when not open.
    virtual void close() = 0;
    // A human-readable name for the log, valid after open().
    virtual std::string deviceName() const = 0;
};

// Makes a fresh source for each start. May throw CameraError (for example when nothing is there).
using FrameSourceFactory = std::function<std::unique_ptr<FrameSource>()>;

// A serial work queue: one named thread running jobs in order. The kernel keeps 15 characters of
// a thread name, so the thread gets the label without the "com.korvel.id." prefix; the full label
// stays available for diagnostics.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();  // runs the jobs already queued, then ends the thread
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> job);
    // Runs `job` on the queue and waits for it; exceptions reach the caller. Never call it from the
    // queue's own thread.
    template <class F>
    auto sync(F&& job) -> decltype(job()) {
        std::packaged_task<decltype(job())()> task(std::forward<F>(job));
        auto result = task.get_future();
        async([&task] { task(); });
        return result.get();
    }

    const std::string& label() const { return label_; }
    std::string threadName() const;  // the name the kernel shows
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    void run();
    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool ending_ = false;
    std::thread thread_;
};

// A delivered frame with the monotonic time (seconds) at which it was accepted.
struct CameraFrame {
    cv::Mat image;
    double time = 0;
};

class CameraController {
public:
    using Clock = std::function<std::chrono::nanoseconds()>;
    using FrameHandler = std::function<void(const CameraFrame&)>;

    static constexpr const char* sessionQueueLabel = "com.korvel.id.camera.session";
    static constexpr const char* outputQueueLabel = "com.korvel.id.camera.output";
    static constexpr std::chrono::nanoseconds minFrameInterval = std::chrono::milliseconds(50);

    // Nothing touches the camera until start(). `clock` is the monotonic clock of the throttle.
    explicit CameraController(FrameSourceFactory makeSource, Clock clock = {});
    ~CameraController();  // stops the camera and ends both threads
    CameraController(const CameraController&) = delete;
    CameraController& operator=(const CameraController&) = delete;

    // When the source stops delivering by itself (unplugged, a failed read) the camera stops as
    // stop() does: the device is released and the indicator goes off. A scan then sees no more
    // frames and ends with its window as usual.
    // Opens a fresh source and starts delivering frames; returns once frames flow. Throws
    // CameraError (or whatever the source factory threw), leaving the camera stopped. Blocks: call it
    // off the main thread.
    void start();
    // Returns at once; the source is closed on the session thread. A read that does not return
    // within `stopWait` (a stalled device) is not waited for: the session goes on, the indicator
    // goes off, and the source is closed when that read returns.
    void stop();
    static constexpr std::chrono::milliseconds stopWait{2000};
    // Waits until everything queued on the session thread so far has run (stop() included).
    void waitUntilSettled();

    // The one consumer of frames; called on the output thread, outside the lock, so clearing it
    // never waits for a frame being processed.
    void setOnFrame(FrameHandler handler);
    bool hasOnFrame() const;

    // Frame delivery as the output thread does it; public so the throttle can be driven directly.
    void deliver(const cv::Mat& frame);

    bool isRunning() const;
    const SerialQueue& sessionQueue() const { return sessionQueue_; }
    const SerialQueue& outputQueue() const { return outputQueue_; }

private:
    void configureLocked();
    void stopCaptureLocked();
    void stopLocked();

    FrameSourceFactory makeSource_;
    Clock clock_;
    SerialQueue sessionQueue_;
    SerialQueue outputQueue_;

    mutable std::mutex frameLock_;
    FrameHandler onFrame_;

    // One capture loop on the output thread, shared with it: a loop whose read does not return in
    // time is abandoned by stop() and closes its source itself when the read finally returns.
    struct CaptureRun {
        std::mutex mutex;
        std::condition_variable ended;
        bool finished = false;
        bool abandoned = false;
    };

    // Session thread only.
    std::shared_ptr<FrameSource> source_;
    std::stop_source captureStop_;
    std::shared_ptr<CaptureRun> capture_;
    std::atomic<bool> isRunning_{false};

    // Output thread only (or the caller of deliver() in tests).
    std::chrono::nanoseconds lastDeliveredAt_{0};
};

// Hands frames from the output thread to the scanning thread. Only the newest frame is kept: a new
// frame replaces an unread one, so a slow reader never builds a backlog.
class FrameStream {
public:
    // Ignored once the stream is finished.
    void yield(CameraFrame frame);
    // Ends the stream; a frame still buffered is read first.
    void finish();
    // The next frame, waiting for it. Nothing when the stream has ended, or when `stop` is
    // requested during the wait (which ends the stream).
    std::optional<CameraFrame> next(std::stop_token stop = {});
    bool isFinished() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    std::optional<CameraFrame> pending_;
    bool finished_ = false;
};
