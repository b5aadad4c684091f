#pragma once
// The Linux camera: V4L2 capture nodes found under /dev, opened through OpenCV.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Face/CameraController.h"
#include "Platform/VideoInput.h"

namespace CameraDevices {

struct Device {
    int index = 0;                // N of /dev/videoN
    std::filesystem::path path;
    std::string name;             // the driver's card name
    bool fed = false;             // a node a program writes frames into (v4l2loopback, akvcam)
};

// What opening one node and asking for its capabilities showed.
struct NodeProbe {
    enum class Result { capture, notCapture, permissionDenied, failed };
    Result result = Result::failed;
    std::string name;  // card name, for capture nodes
    int error = 0;     // errno, for permissionDenied and failed
    std::string driver;  // for capture nodes
};

// The system calls behind discovery, replaceable in tests (root may open any file).
class DeviceAccess {
public:
    virtual ~DeviceAccess() = default;
    // Opens the node, asks VIDIOC_QUERYCAP and closes it again.
    virtual NodeProbe probe(const std::filesystem::path& node) const;
    static const DeviceAccess& system();
};

struct Discovery {
    std::vector<Device> devices;  // capture-capable nodes by index
    std::vector<std::filesystem::path> deniedNodes;
    std::optional<std::string> firstFailure;  // "Could not open /dev/video3: …"
};

// Looks at every videoN node under `devRoot` in index order. Metadata-only and output nodes are
// skipped.
Discovery discover(const std::filesystem::path& devRoot = "/dev", const DeviceAccess& access = DeviceAccess::system());

// The first capture node (or /dev/video`index` when given), or the reason there is none: a node we
// may not open means the user has no camera permission; no node at all means no camera.
// `camerasOnly`: without an index, nodes a program feeds are passed over.
Device choose(const Discovery& discovery, std::optional<int> index = std::nullopt, bool camerasOnly = false);

}  // namespace CameraDevices

// The first usable camera, 640×480, MJPG when the camera offers it, else YUYV; BGR frames.
class V4L2FrameSource final : public FrameSource {
public:
    explicit V4L2FrameSource(std::filesystem::path devRoot = "/dev",
                             const CameraDevices::DeviceAccess& access = CameraDevices::DeviceAccess::system(),
                             std::optional<int> index = std::nullopt, bool camerasOnly = false);
    ~V4L2FrameSource() override;

    void open() override;
    bool read(cv::Mat& frame, std::stop_token stop) override;
    void close() override;
    std::string deviceName() const override { return device_.name; }

    // `index`: a chosen /dev/videoN instead of the first capture node; `camerasOnly`: see choose().
    static FrameSourceFactory factory(std::filesystem::path devRoot = "/dev", std::optional<int> index = std::nullopt,
                                      bool camerasOnly = false);

private:
    std::filesystem::path devRoot_;
    const CameraDevices::DeviceAccess& access_;
    std::optional<int> index_;
    bool camerasOnly_;
    CameraDevices::Device device_;
    VideoInput capture_;
};
