#include "Platform/VideoFileSource.h"

#include <opencv2/videoio.hpp>  // the cv::CAP_… constants only

#include <cmath>

VideoFileSource::VideoFileSource(std::filesystem::path file, Options options)
    : file_(std::move(file)), options_(options) {}

VideoFileSource::~VideoFileSource() {
    close();
}

void VideoFileSource::open() {
    if (!openAtStart()) throw CameraError::configurationFailed("Could not open " + file_.string() + ".");
    playbackStart_ = std::chrono::steady_clock::now();
    framesPlayed_ = 0;
}

bool VideoFileSource::openAtStart() {
    capture_.release();
    if (!capture_.open(file_.string(), cv::CAP_FFMPEG)) return false;
    const double fps = capture_.get(cv::CAP_PROP_FPS);
    fps_ = std::isfinite(fps) && fps > 0 ? fps : 25.0;
    // Grabbing is exact where seeking in compressed video lands on the nearest key frame.
    const auto skip = static_cast<long long>(std::llround(std::max(options_.startOffset, 0.0) * fps_));
    for (long long i = 0; i < skip; ++i)
        if (!capture_.grab()) break;
    return true;
}

bool VideoFileSource::read(cv::Mat& frame, std::stop_token stop) {
    if (!capture_.isOpened()) return false;
    const double speed = options_.speed > 0 && std::isfinite(options_.speed) ? options_.speed : 1.0;
    const auto due = playbackStart_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                          std::chrono::duration<double>(static_cast<double>(framesPlayed_) / (fps_ * speed)));
    {
        std::unique_lock lock(sleepMutex_);
        sleep_.wait_until(lock, stop, due, [] { return false; });
    }
    if (stop.stop_requested()) return false;
    if (!capture_.read(frame) || frame.empty()) {
        if (!options_.loop || !openAtStart() || !capture_.read(frame) || frame.empty()) return false;
    }
    ++framesPlayed_;
    return true;
}

void VideoFileSource::close() {
    capture_.release();
}

std::string VideoFileSource::deviceName() const {
    return "video file " + file_.filename().string();
}

FrameSourceFactory VideoFileSource::factory(std::filesystem::path file, Options options) {
    return [file = std::move(file), options] { return std::make_unique<VideoFileSource>(file, options); };
}
