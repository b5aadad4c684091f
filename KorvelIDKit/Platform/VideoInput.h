#pragma once
// Video input (cameras and recorded files) through OpenCV's videoio, loaded on first use. videoio
// brings FFmpeg, GStreamer and some two hundred further libraries; linked into the programs they
// would be mapped and initialised at every start, though most runs never open a camera.
#include <opencv2/core/mat.hpp>

#include <memory>
#include <string>

class VideoInput {
public:
    // What the loadable part implements around a cv::VideoCapture.
    class Backend {
    public:
        virtual ~Backend() = default;
        virtual bool open(int index, int api) = 0;
        virtual bool open(const std::string& file, int api) = 0;
        virtual bool isOpened() const = 0;
        virtual bool set(int property, double value) = 0;
        virtual double get(int property) const = 0;
        virtual bool grab() = 0;
        virtual bool read(cv::Mat& frame) = 0;
        virtual void release() = 0;
    };

    // `api` and `property` are OpenCV's cv::CAP_… values. Opening fails when the part cannot be
    // loaded; loadError() then says why.
    bool open(int index, int api);
    bool open(const std::string& file, int api);
    bool isOpened() const { return backend_ && backend_->isOpened(); }
    bool set(int property, double value) { return backend_ && backend_->set(property, value); }
    double get(int property) const { return backend_ ? backend_->get(property) : 0.0; }
    bool grab() { return backend_ && backend_->grab(); }
    bool read(cv::Mat& frame) { return backend_ && backend_->read(frame); }
    void release() {
        if (backend_) backend_->release();
    }

    static std::string loadError();
    static constexpr int fourcc(char c1, char c2, char c3, char c4) {
        return (c1 & 255) | ((c2 & 255) << 8) | ((c3 & 255) << 16) | ((c4 & 255) << 24);
    }

private:
    bool ensureBackend();

    std::unique_ptr<Backend> backend_;
};

// The loadable part's one entry point.
extern "C" VideoInput::Backend* korvelCreateVideoInputBackend();
