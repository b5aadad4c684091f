// korvel-video.so: the only code that links OpenCV's videoio (see VideoInput.h).
#include <opencv2/videoio.hpp>

#include "Platform/VideoInput.h"

namespace {

class OpenCVVideoInput final : public VideoInput::Backend {
public:
    bool open(int index, int api) override { return capture_.open(index, api); }
    bool open(const std::string& file, int api) override { return capture_.open(file, api); }
    bool isOpened() const override { return capture_.isOpened(); }
    bool set(int property, double value) override { return capture_.set(property, value); }
    double get(int property) const override { return capture_.get(property); }
    bool grab() override { return capture_.grab(); }
    bool read(cv::Mat& frame) override { return capture_.read(frame); }
    void release() override { capture_.release(); }

private:
    cv::VideoCapture capture_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) VideoInput::Backend* korvelCreateVideoInputBackend() {
    return new OpenCVVideoInput;
}
