// The Linux frame sources: V4L2 discovery and error mapping, and the video-file camera.
#include <opencv2/videoio.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <map>

#include "Face/CameraController.h"
#include "Platform/CameraDevices.h"
#include "Platform/VideoFileSource.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using CameraDevices::NodeProbe;

namespace {

// Answers probes by node name; nodes not listed are not V4L2 devices.
class FakeAccess final : public CameraDevices::DeviceAccess {
public:
    std::map<std::string, NodeProbe> answers;
    mutable std::vector<std::string> probed;
    NodeProbe probe(const fs::path& node) const override {
        probed.push_back(node.filename().string());
        auto it = answers.find(node.filename().string());
        return it == answers.end() ? NodeProbe{NodeProbe::Result::notCapture, {}, 0, {}} : it->second;
    }
};

NodeProbe capture(std::string name, std::string driver = "uvcvideo") {
    return {NodeProbe::Result::capture, std::move(name), 0, std::move(driver)};
}
NodeProbe denied() { return {NodeProbe::Result::permissionDenied, {}, EACCES, {}}; }

std::string cameraErrorText(const std::function<void()>& f) {
    try {
        f();
    } catch (const CameraError& e) {
        return e.description();
    }
    return "no error";
}

// Files whose links in /proc/self/fd point into `where`.
int openDescriptorsInto(const fs::path& where) {
    int count = 0;
    const std::string prefix = fs::canonical(where).string();
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const fs::path target = fs::read_symlink(entry.path(), ec);
        if (!ec && target.string().starts_with(prefix)) ++count;
    }
    return count;
}

// A small MJPG video whose frame i is a uniform grey of 10·i.
fs::path writeVideo(const fs::path& dir, int frames, double fps) {
    const fs::path file = dir / "clip.avi";
    cv::VideoWriter writer(file.string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps, cv::Size(64, 48));
    EXPECT_TRUE(writer.isOpened());
    for (int i = 0; i < frames; ++i) writer.write(cv::Mat(48, 64, CV_8UC3, cv::Scalar::all(10 * i)));
    writer.release();
    return file;
}

// The grey indices of up to `count` frames read from `source`.
std::vector<int> readGreys(VideoFileSource& source, int count) {
    std::vector<int> seen;
    cv::Mat frame;
    for (int i = 0; i < count && source.read(frame, {}); ++i) {
        EXPECT_EQ(frame.type(), CV_8UC3);
        seen.push_back(static_cast<int>(std::lround(cv::mean(frame)[0] / 10)));
        frame = cv::Mat();  // fresh each time, as the controller does
    }
    return seen;
}

// MARK: - Discovery

TEST(CameraDevicesTest, CaptureNodesInIndexOrderSkippingOthers) {
    TestSupport::TempDir dev;
    for (const char* name : {"video10", "video2", "video0", "video1", "videoX", "video", "media0", "video3"})
        TestSupport::writeText(dev / name, "");
    FakeAccess access;
    access.answers = {{"video0", capture("Integrated Camera")},  // (metadata node video1 is not capture)
                      {"video2", denied()},
                      {"video10", capture("USB Camera")}};
    const auto discovery = CameraDevices::discover(dev.path(), access);
    EXPECT_EQ(access.probed, (std::vector<std::string>{"video0", "video1", "video2", "video3", "video10"}));
    ASSERT_EQ(discovery.devices.size(), 2u);
    EXPECT_EQ(discovery.devices[0].index, 0);
    EXPECT_EQ(discovery.devices[0].name, "Integrated Camera");
    EXPECT_EQ(discovery.devices[1].index, 10);
    EXPECT_EQ(CameraDevices::choose(discovery).path, dev / "video0");
    // A node a program feeds (a loopback camera) is passed over where only cameras will do, unless named.
    access.answers["video0"] = capture("Dummy video device", "v4l2 loopback");
    EXPECT_EQ(CameraDevices::choose(CameraDevices::discover(dev.path(), access), std::nullopt, true).index, 10);
    EXPECT_EQ(CameraDevices::choose(CameraDevices::discover(dev.path(), access), 0, true).index, 0);
}

TEST(CameraDevicesTest, PermissionAndAbsenceMapToTheirErrors) {
    TestSupport::TempDir dev;
    FakeAccess access;
    const auto chooseError = [&] {
        return cameraErrorText([&] { CameraDevices::choose(CameraDevices::discover(dev.path(), access)); });
    };
    EXPECT_EQ(chooseError(), "No usable camera found.");
    TestSupport::writeText(dev / "video0", "");
    TestSupport::writeText(dev / "video1", "");
    EXPECT_EQ(chooseError(), "No usable camera found.");  // nodes, but none can capture
    access.answers["video1"] = denied();
    EXPECT_EQ(chooseError(), "Camera permission was not granted.");
    access.answers["video1"] = {NodeProbe::Result::failed, {}, EBUSY, {}};
    EXPECT_EQ(chooseError(),
              "Camera configuration failed: Could not open " + (dev / "video1").string() + ": " + std::strerror(EBUSY));

    // A usable camera wins over a node we may not open.
    access.answers["video0"] = denied();
    access.answers["video1"] = capture("Cam");
    EXPECT_EQ(CameraDevices::choose(CameraDevices::discover(dev.path(), access)).index, 1);

    // The source reports the same texts when asked to open.
    access.answers = {{"video0", denied()}};
    V4L2FrameSource source(dev.path(), access);
    EXPECT_EQ(cameraErrorText([&] { source.open(); }), "Camera permission was not granted.");
}

TEST(CameraDevicesTest, RealProbeOfPlainFilesFindsNoCameraAndClosesEverything) {
    TestSupport::TempDir dev;
    TestSupport::writeText(dev / "video0", "not a device");
    const NodeProbe missing = CameraDevices::DeviceAccess::system().probe(dev / "video9");
    EXPECT_EQ(missing.result, NodeProbe::Result::failed);
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_EQ(CameraDevices::DeviceAccess::system().probe(dev / "video0").result, NodeProbe::Result::notCapture);

    V4L2FrameSource source(dev.path());
    EXPECT_EQ(cameraErrorText([&] { source.open(); }), "No usable camera found.");
    EXPECT_EQ(openDescriptorsInto(dev.path()), 0);
}

// MARK: - Video file

// Frames come at the file's own rate, from the offset on, and round again when looping.
TEST(VideoFileSourceTest, PlaysInRealTimeFromItsOffsetAndLoops) {
    TestSupport::TempDir dir;
    VideoFileSource whole(writeVideo(dir.path(), 10, 25));
    whole.open();
    EXPECT_DOUBLE_EQ(whole.framesPerSecond(), 25);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(readGreys(whole, 100), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    // Frame 9 is due 0.36 s after the first.
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 0.35);
    whole.close();
    VideoFileSource looping(writeVideo(dir.path(), 6, 50), {.loop = true, .startOffset = 0.08});  // frame 4 at 50 fps
    looping.open();
    EXPECT_EQ(readGreys(looping, 5), (std::vector<int>{4, 5, 4, 5, 4}));
}

TEST(VideoFileSourceTest, StopInterruptsTheWaitForTheNextFrame) {
    TestSupport::TempDir dir;
    VideoFileSource source(writeVideo(dir.path(), 3, 1));  // one frame a second
    source.open();
    cv::Mat frame;
    ASSERT_TRUE(source.read(frame, {}));
    std::stop_source stop;
    std::jthread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop.request_stop();
    });
    const auto started = std::chrono::steady_clock::now();
    cv::Mat next;
    EXPECT_FALSE(source.read(next, stop.get_token()));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 0.5);
}

}  // namespace
