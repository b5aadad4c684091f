#pragma once
// A recorded video standing in for a camera: played in real time at the file's frame rate.
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "Face/CameraController.h"
#include "Platform/VideoInput.h"

class VideoFileSource final : public FrameSource {
public:
    struct Options {
        bool loop = false;         // start again from `startOffset` at the end of the file
        double startOffset = 0;    // seconds into the file where playback starts
        double speed = 1;          // below 1 plays slower, so a slow (sanitizer) build still sees most frames
    };

    explicit VideoFileSource(std::filesystem::path file, Options options);
    explicit VideoFileSource(std::filesystem::path file) : VideoFileSource(std::move(file), Options{}) {}
    ~VideoFileSource() override;

    // Fails with configurationFailed when the file cannot be decoded.
    void open() override;
    bool read(cv::Mat& frame, std::stop_token stop) override;
    void close() override;
    std::string deviceName() const override;

    double framesPerSecond() const { return fps_; }

    static FrameSourceFactory factory(std::filesystem::path file, Options options);
    static FrameSourceFactory factory(std::filesystem::path file) { return factory(std::move(file), Options{}); }

private:
    bool openAtStart();

    std::filesystem::path file_;
    Options options_;
    VideoInput capture_;
    double fps_ = 25;
    std::chrono::steady_clock::time_point playbackStart_;
    long long framesPlayed_ = 0;
    std::mutex sleepMutex_;
    std::condition_variable_any sleep_;
};
