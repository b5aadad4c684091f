#include "Platform/CameraDevices.h"

#include <opencv2/videoio.hpp>  // the cv::CAP_… constants only

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "Support/Logger.h"

namespace CameraDevices {

NodeProbe DeviceAccess::probe(const std::filesystem::path& node) const {
    NodeProbe probe;
    const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        probe.error = errno;
        probe.result = (probe.error == EACCES || probe.error == EPERM) ? NodeProbe::Result::permissionDenied
                                                                       : NodeProbe::Result::failed;
        return probe;
    }
    v4l2_capability caps{};
    int rc;
    do {
        rc = ::ioctl(fd, VIDIOC_QUERYCAP, &caps);
    } while (rc < 0 && errno == EINTR);
    ::close(fd);
    if (rc < 0) {
        probe.result = NodeProbe::Result::notCapture;  // not a V4L2 node at all
        return probe;
    }
    // Nodes that set device_caps describe themselves there; `capabilities` covers the whole device.
    const std::uint32_t own = (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
    if (!(own & V4L2_CAP_VIDEO_CAPTURE)) {
        probe.result = NodeProbe::Result::notCapture;
        return probe;
    }
    probe.result = NodeProbe::Result::capture;
    const auto* card = reinterpret_cast<const char*>(caps.card);
    probe.name.assign(card, strnlen(card, sizeof caps.card));
    const auto* driver = reinterpret_cast<const char*>(caps.driver);
    probe.driver.assign(driver, strnlen(driver, sizeof caps.driver));
    return probe;
}

const DeviceAccess& DeviceAccess::system() {
    static const DeviceAccess access;
    return access;
}

Discovery discover(const std::filesystem::path& devRoot, const DeviceAccess& access) {
    std::vector<std::pair<int, std::filesystem::path>> nodes;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(devRoot, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.starts_with("video") || name.size() == 5) continue;
        int index = 0;
        const char* first = name.data() + 5;
        const char* last = name.data() + name.size();
        const auto [ptr, err] = std::from_chars(first, last, index);
        if (err != std::errc() || ptr != last) continue;
        nodes.emplace_back(index, it->path());
    }
    std::sort(nodes.begin(), nodes.end());

    Discovery discovery;
    for (const auto& [index, path] : nodes) {
        const NodeProbe probe = access.probe(path);
        switch (probe.result) {
        case NodeProbe::Result::capture:
            discovery.devices.push_back({index, path, probe.name.empty() ? path.filename().string() : probe.name,
                                         probe.driver.find("loopback") != std::string::npos || probe.driver == "akvcam"});
            break;
        case NodeProbe::Result::notCapture: break;
        case NodeProbe::Result::permissionDenied: discovery.deniedNodes.push_back(path); break;
        case NodeProbe::Result::failed:
            if (!discovery.firstFailure)
                discovery.firstFailure = "Could not open " + path.string() + ": " + std::strerror(probe.error);
            break;
        }
    }
    return discovery;
}

Device choose(const Discovery& discovery, std::optional<int> index, bool camerasOnly) {
    if (index) {
        for (const auto& d : discovery.devices)
            if (d.index == *index) return d;
        for (const auto& denied : discovery.deniedNodes)
            if (denied.filename() == "video" + std::to_string(*index)) throw CameraError::notAuthorized();
        throw CameraError::noDevice();
    }
    for (const auto& d : discovery.devices)
        if (!camerasOnly || !d.fed) return d;
    if (!discovery.deniedNodes.empty()) throw CameraError::notAuthorized();
    if (discovery.firstFailure) throw CameraError::configurationFailed(*discovery.firstFailure);
    throw CameraError::noDevice();
}

}  // namespace CameraDevices

V4L2FrameSource::V4L2FrameSource(std::filesystem::path devRoot, const CameraDevices::DeviceAccess& access,
                                 std::optional<int> index, bool camerasOnly)
    : devRoot_(std::move(devRoot)), access_(access), index_(index), camerasOnly_(camerasOnly) {}

V4L2FrameSource::~V4L2FrameSource() {
    close();
}

void V4L2FrameSource::open() {
    device_ = CameraDevices::choose(CameraDevices::discover(devRoot_, access_), index_, camerasOnly_);
    // OpenCV knows /dev/videoN by its index; a node elsewhere (tests) by its path.
    const bool opened = devRoot_ == "/dev" ? capture_.open(device_.index, cv::CAP_V4L2)
                                           : capture_.open(device_.path.string(), cv::CAP_V4L2);
    if (!opened) {
        const auto reason = VideoInput::loadError();
        throw CameraError::configurationFailed("Could not open " + device_.path.string() + (reason.empty() ? "." : ": " + reason));
    }
    // Compressed frames keep USB 2 cameras at full rate; YUYV is what every UVC camera offers.
    const int mjpg = VideoInput::fourcc('M', 'J', 'P', 'G');
    capture_.set(cv::CAP_PROP_FOURCC, mjpg);
    if (static_cast<int>(capture_.get(cv::CAP_PROP_FOURCC)) != mjpg)
        capture_.set(cv::CAP_PROP_FOURCC, VideoInput::fourcc('Y', 'U', 'Y', 'V'));
    capture_.set(cv::CAP_PROP_FRAME_WIDTH, 640);
    capture_.set(cv::CAP_PROP_FRAME_HEIGHT, 480);
    capture_.set(cv::CAP_PROP_CONVERT_RGB, 1);
    if (!capture_.isOpened()) {
        capture_.release();
        throw CameraError::configurationFailed("Could not configure " + device_.path.string() + ".");
    }
}

bool V4L2FrameSource::read(cv::Mat& frame, std::stop_token stop) {
    if (stop.stop_requested() || !capture_.isOpened()) return false;
    // A V4L2 read waits at most one frame interval, so stop is noticed at the next frame.
    return capture_.read(frame) && !frame.empty();
}

void V4L2FrameSource::close() {
    capture_.release();
}

FrameSourceFactory V4L2FrameSource::factory(std::filesystem::path devRoot, std::optional<int> index, bool camerasOnly) {
    return [devRoot = std::move(devRoot), index, camerasOnly] {
        return std::make_unique<V4L2FrameSource>(devRoot, CameraDevices::DeviceAccess::system(), index, camerasOnly);
    };
}
