// The camera controller, its activity indicator and the frame stream.
#include <QCoreApplication>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include "Face/CameraActivity.h"
#include "Face/CameraController.h"
#include "Support/Logger.h"
#include "TestSupport.h"

using namespace std::chrono_literals;

namespace {

// Produces a frame every 10 ms until stopped; counts how it is used.
struct TickingState {
    std::atomic<int> opens{0}, closes{0}, reads{0};
    std::atomic<bool> failOpen{false};
};

class TickingSource final : public FrameSource {
public:
    explicit TickingSource(std::shared_ptr<TickingState> state) : state_(std::move(state)) {}
    void open() override {
        ++state_->opens;
        if (state_->failOpen) throw CameraError::noDevice();
    }
    bool read(cv::Mat& frame, std::stop_token stop) override {
        std::mutex m;
        std::condition_variable_any cv;
        std::unique_lock lock(m);
        cv.wait_for(lock, stop, 10ms, [] { return false; });
        if (stop.stop_requested()) return false;
        ++state_->reads;
        frame = cv::Mat(4, 4, CV_8UC3, cv::Scalar(1, 2, 3));
        return true;
    }
    void close() override { ++state_->closes; }
    std::string deviceName() const override { return "Ticking Camera"; }

private:
    std::shared_ptr<TickingState> state_;
};

FrameSourceFactory tickingFactory(std::shared_ptr<TickingState> state) {
    return [state] { return std::make_unique<TickingSource>(state); };
}

bool activityIs(int count) {
    return TestSupport::waitUntil([count] { return CameraActivity::shared().activeCount() == count; });
}

// MARK: - Throttle

TEST(CameraControllerTest, FramesCloserThanFiftyMillisecondsAreDroppedAndEmptyOnesStillCount) {
    std::chrono::nanoseconds now{0};
    CameraController camera({}, [&] { return now; });
    std::vector<double> delivered;
    camera.setOnFrame([&](const CameraFrame& f) { delivered.push_back(f.time); });
    const cv::Mat frame(2, 2, CV_8UC3, cv::Scalar::all(0));
    // An empty frame passing the throttle is not delivered, but the next 50 ms are measured from it.
    for (auto [t, image] : {std::pair{1000ms, frame}, {1049ms, frame}, {1050ms, frame}, {1099ms, frame},
                            {1100ms, cv::Mat()}, {1130ms, frame}, {1150ms, frame}}) {
        now = t;
        camera.deliver(image);
    }
    EXPECT_EQ(delivered, (std::vector<double>{1.0, 1.05, 1.15}));
}

TEST(CameraControllerTest, CallbackRunsOutsideTheLockSoItCanClearItself) {
    std::chrono::nanoseconds now{1s};
    CameraController camera({}, [&] { return now; });
    int calls = 0;
    camera.setOnFrame([&](const CameraFrame&) { ++calls; camera.setOnFrame({}); });
    for (int i = 0; i < 2; ++i, now += 100ms) camera.deliver(cv::Mat(2, 2, CV_8UC3));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(camera.hasOnFrame());
}

// MARK: - Start and stop

TEST(CameraControllerTest, StartDeliversFramesAndStopReleasesTheSource) {
    LogCapture log;
    auto state = std::make_shared<TickingState>();
    CameraController camera(tickingFactory(state));
    EXPECT_EQ(state->opens, 0);  // nothing touches the camera before start()

    // Indicator changes still queued by earlier tests in this program are not this camera's.
    QCoreApplication::processEvents();
    QSignalSpy spy(&CameraActivity::shared(), &CameraActivity::isActiveChanged);
    std::atomic<int> frames{0};
    camera.setOnFrame([&](const CameraFrame& f) {
        ++frames;
        EXPECT_EQ(f.image.type(), CV_8UC3);
    });
    camera.start();
    EXPECT_TRUE(camera.isRunning());
    EXPECT_TRUE(activityIs(1));
    ASSERT_TRUE(TestSupport::waitUntil([&] { return frames >= 3; }));

    camera.stop();
    camera.waitUntilSettled();
    EXPECT_FALSE(camera.isRunning());
    EXPECT_EQ(state->closes, 1);
    EXPECT_TRUE(activityIs(0));
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy.at(0).at(0).toBool(), true);
    EXPECT_EQ(spy.at(1).at(0).toBool(), false);
    EXPECT_EQ(log.messages("camera"), (std::vector<std::string>{"Camera device: Ticking Camera", "Camera session started.",
                                                                "Camera session stopped and released."}));
}

// A camera that stops by itself: after `framesBeforeEnd` frames its read ends (unplugged), throws
// (a failed read), or blocks until released, whatever stop() asks (a stalled device).
class EndingSource final : public FrameSource {
public:
    enum class End { returnsFalse, throws, stalls };
    struct State {
        std::atomic<int> closes{0};
        std::atomic<bool> stalling{false};
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
    };
    EndingSource(End end, std::shared_ptr<State> state) : end_(end), state_(std::move(state)) {}
    void open() override {}
    bool read(cv::Mat& frame, std::stop_token) override {
        if (reads_++ < 3) {
            std::this_thread::sleep_for(5ms);
            frame = cv::Mat(4, 4, CV_8UC3, cv::Scalar(1, 2, 3));
            return true;
        }
        switch (end_) {
        case End::returnsFalse: return false;
        case End::throws: throw std::runtime_error("device gone");
        case End::stalls:
            state_->stalling = true;
            state_->released.wait();
            return false;
        }
        return false;
    }
    void close() override { ++state_->closes; }
    std::string deviceName() const override { return "Ending Camera"; }

private:
    End end_;
    std::shared_ptr<State> state_;
    int reads_ = 0;
};

TEST(CameraControllerTest, ACameraThatStopsDeliveringIsReleasedAndTheIndicatorGoesOff) {
    for (const auto end : {EndingSource::End::returnsFalse, EndingSource::End::throws}) {
        SCOPED_TRACE(int(end));
        LogCapture log;
        auto state = std::make_shared<EndingSource::State>();
        CameraController camera([&] { return std::make_unique<EndingSource>(end, state); });
        camera.start();
        EXPECT_TRUE(activityIs(1));
        // Without any stop() from the user of the camera.
        EXPECT_TRUE(TestSupport::waitUntil([&] { return state->closes == 1; }));
        camera.waitUntilSettled();
        EXPECT_FALSE(camera.isRunning());
        EXPECT_TRUE(activityIs(0));
        EXPECT_TRUE(log.contains("Camera stopped delivering frames; releasing it."));
        camera.stop();  // a later stop changes nothing
        camera.waitUntilSettled();
        EXPECT_EQ(state->closes, 1);
    }
}

TEST(CameraControllerTest, StopDoesNotWaitForAStalledReadAndTheDeviceIsReleasedWhenItReturns) {
    LogCapture log;
    auto state = std::make_shared<EndingSource::State>();
    auto camera = std::make_unique<CameraController>(
        [&] { return std::make_unique<EndingSource>(EndingSource::End::stalls, state); });
    camera->start();
    ASSERT_TRUE(TestSupport::waitUntil([&] { return state->stalling.load(); }));
    const auto before = std::chrono::steady_clock::now();
    camera->stop();
    camera->waitUntilSettled();
    EXPECT_LT(std::chrono::steady_clock::now() - before, CameraController::stopWait + 2s);
    EXPECT_FALSE(camera->isRunning());
    EXPECT_TRUE(activityIs(0));
    EXPECT_EQ(state->closes, 0);  // the read still holds it
    EXPECT_TRUE(log.contains("Camera read did not return after stop; the device is released when it does."));
    state->release.set_value();
    EXPECT_TRUE(TestSupport::waitUntil([&] { return state->closes == 1; }));
    camera.reset();
    EXPECT_EQ(state->closes, 1);
    EXPECT_FALSE(log.contains("Camera stopped delivering frames; releasing it."));
}

std::string startError(CameraController& camera) {
    try {
        camera.start();
    } catch (const CameraError& e) {
        return e.description();
    }
    return "no error";
}

// A failed configuration after a run, and a restart of a running camera (reopened, counted once)
// that then fails: stopped, every source released; destroying a running camera stops it.
TEST(CameraControllerTest, RestartsAndFailedStartsCountOnceAndReleaseEverySource) {
    for (bool running : {false, true}) {
        SCOPED_TRACE(running);
        auto state = std::make_shared<TickingState>();
        CameraController camera(tickingFactory(state));
        camera.start();
        if (running) camera.start();
        EXPECT_TRUE(activityIs(1));
        if (!running) camera.stop();
        state->failOpen = true;
        EXPECT_EQ(startError(camera), "No usable camera found.");
        EXPECT_FALSE(camera.isRunning());
        EXPECT_EQ(state->opens, running ? 3 : 2);
        EXPECT_EQ(state->closes, state->opens);  // the failed source is released too
        EXPECT_TRUE(activityIs(0));
    }
    CameraController missing([] { return std::unique_ptr<FrameSource>(); });
    EXPECT_EQ(startError(missing), "No usable camera found.");
    {
        CameraController running(tickingFactory(std::make_shared<TickingState>()));
        running.start();
    }
    EXPECT_TRUE(activityIs(0)) << "destroying a running camera stops it";
}

// MARK: - Frame stream

CameraFrame frameAt(double t) { return {cv::Mat(1, 1, CV_8UC3), t}; }

TEST(FrameStreamTest, KeepsOnlyTheNewestUnreadFrameAndFinishEndsAfterIt) {
    FrameStream stream;
    for (double t : {1, 2, 3}) stream.yield(frameAt(t));
    stream.finish();
    stream.yield(frameAt(4));  // ignored
    std::stop_source stop;
    stop.request_stop();
    auto f = stream.next(stop.get_token());  // a buffered frame is returned even when stop was requested
    ASSERT_TRUE(f);
    EXPECT_EQ(f->time, 3);
    EXPECT_FALSE(stream.next());
    EXPECT_FALSE(stream.next());
}

TEST(FrameStreamTest, AWaitingReaderWakesForAFrameTheEndOrAStop) {
    FrameStream stream;
    std::jthread producer([&] {
        std::this_thread::sleep_for(30ms);
        stream.yield(frameAt(7));
        std::this_thread::sleep_for(30ms);
        stream.finish();
    });
    auto f = stream.next();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->time, 7);
    EXPECT_FALSE(stream.next());

    FrameStream stopped;
    std::stop_source stop;
    std::jthread canceller([&] { std::this_thread::sleep_for(30ms); stop.request_stop(); });
    EXPECT_FALSE(stopped.next(stop.get_token()));
    EXPECT_TRUE(stopped.isFinished());
    stopped.yield(frameAt(1));
    EXPECT_FALSE(stopped.next());
}

}  // namespace
