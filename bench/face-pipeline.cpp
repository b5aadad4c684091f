// Per-frame cost of the face pipeline (detect + landmarks + descriptor, and the scan's eye openness
// scale with its motion tracking), single-threaded, on real
// video frames: every frame of the blink clips at their own size (360×288, 400×300) and resized to
// the camera's 640×480. Prints median and percentiles per stage, for the AVX2 and baseline builds
// of the face finder; then the descriptor network alone on those faces' chips with each engine the
// CPU runs (own AVX-512 / AVX2 kernels, the OpenCV graph), and how far each is from the plain-loop
// network. Usage: face-pipeline [DATA_DIR] (default: the test data folder).
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <string>
#include <vector>

#include "Face/FaceDescriptorNet.h"
#include "Face/FaceDetector.h"
#include "Face/FaceLandmarkFinder.h"
#include "Face/FaceRecognizer.h"

namespace {
using Clock = std::chrono::steady_clock;
double msSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

// CPU time of this thread: on a machine shared with other work, wall time also counts the waits for
// a core; this does not.
double threadMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

void report(const char* what, std::vector<double> v) {
    if (v.empty()) return;
    std::sort(v.begin(), v.end());
    const auto p = [&](double q) { return v[std::min(v.size() - 1, std::size_t(q * double(v.size())))]; };
    double sum = 0;
    for (double x : v) sum += x;
    std::printf("    %-22s n %5zu  median %6.2f ms  p10 %6.2f  p90 %6.2f  p99 %6.2f  max %6.2f  mean %6.2f\n", what, v.size(),
                p(0.5), p(0.1), p(0.9), p(0.99), v.back(), sum / double(v.size()));
}
// Resident memory of this process, from /proc/self/statm.
double residentMB() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return 0;
    long total = 0, resident = 0;
    const int n = std::fscanf(f, "%ld %ld", &total, &resident);
    std::fclose(f);
    return n == 2 ? double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0) : 0;
}

std::string loadAverage() {
    double load[3] = {};
    if (getloadavg(load, 3) != 3) return "unknown";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}
}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path data = argc > 1 ? argv[1] : KORVEL_TEST_DATA;
    std::vector<std::filesystem::path> clips;
    for (const char* name : {"franck_talking_face_blinks_22s.mp4", "webcam_cap13_30s.mp4", "webcam_cap12_53s.mp4"})
        if (std::filesystem::exists(data / "blink" / name)) clips.push_back(data / "blink" / name);
    if (clips.empty()) {
        std::fprintf(stderr, "face-pipeline: no clips in %s/blink\n", data.c_str());
        return 1;
    }
    cv::setNumThreads(1);
    std::vector<cv::Mat> native, camera;
    for (const auto& clip : clips) {
        cv::VideoCapture capture(clip.string(), cv::CAP_FFMPEG);
        cv::Mat frame;
        for (int i = 0; capture.read(frame); ++i) {
            if (i % 3) continue;  // a third of the frames is plenty and keeps the run short
            native.push_back(frame.clone());
            cv::Mat big;
            cv::resize(frame, big, cv::Size(640, 480), 0, 0, cv::INTER_LINEAR);
            camera.push_back(big);
        }
    }
    std::printf("face pipeline, single-threaded, %zu frames of %zu clips; AVX2 %s on this CPU; load average %s\n",
                native.size(), clips.size(), FaceLandmarkFinders::avx2Available() ? "available" : "not available",
                loadAverage().c_str());

    const double before = residentMB();
    DescriptorRecognizer recognizer;
    const auto t0 = Clock::now();
    if (const auto error = recognizer.loadError()) {
        std::fprintf(stderr, "face-pipeline: %s\n", error->c_str());
        return 1;
    }
    std::printf("  descriptor model load %.0f ms, resident memory %+.0f MB; descriptor engine %s\n", msSince(t0),
                residentMB() - before, DescriptorNetwork::engineName(DescriptorNetwork::preferredEngine()));
    for (const bool avx2 : {true, false}) {
        if (avx2 && !FaceLandmarkFinders::avx2Available()) continue;
        FaceDetector::Options options;
        options.allowAvx2 = avx2;
        FaceDetector detector(options);
        const auto t1 = Clock::now();
        const double beforeDetector = residentMB();
        if (const auto error = detector.loadError()) {
            std::fprintf(stderr, "face-pipeline: %s\n", error->c_str());
            return 1;
        }
        std::printf("  finder build: %s (landmark model load %.0f ms, resident memory %+.0f MB)\n",
                    detector.instructionSet().c_str(), msSince(t1), residentMB() - beforeDetector);
        for (const auto* set : {&native, &camera}) {
            std::printf("  %s\n", set == &native ? "clip frames at their own size (360x288, 400x300)" : "clip frames at 640x480");
            std::vector<double> detect, describe, total, cpuDetect, cpuDescribe, cpuTotal, cpuOpenness;
            std::size_t faces = 0;
            // One scan's openness scale over the clips' frames in order (the motion tracking starts
            // anew where one clip ends and the next begins).
            auto scale = detector.makeOpennessScale();
            double seconds = 0;
            for (const auto& frame : *set) {
                seconds += 0.04;
                const auto a = Clock::now();
                const double ca = threadMs();
                const auto face = detector.detect(frame);
                const double d = msSince(a), cd = threadMs() - ca;
                detect.push_back(d);
                cpuDetect.push_back(cd);
                if (!face) {
                    total.push_back(d);
                    cpuTotal.push_back(cd);
                    continue;
                }
                ++faces;
                const double co = threadMs();
                double openness = 0;
                if (face->eyeOpenness) {
                    scale->trackerOpenness(*face, seconds);
                    openness = threadMs() - co;
                    cpuOpenness.push_back(openness);
                }
                const auto b = Clock::now();
                const double cb = threadMs();
                const auto embedding = recognizer.embedding(*face);
                const double e = msSince(b), ce = threadMs() - cb;
                describe.push_back(e);
                cpuDescribe.push_back(ce);
                total.push_back(d + e);
                cpuTotal.push_back(cd + ce + openness);
            }
            std::printf("    wall time\n");
            report("detect + landmarks", detect);
            report("chip + descriptor", describe);
            report("whole frame", total);
            std::printf("    thread CPU time\n");
            report("detect + landmarks", cpuDetect);
            report("chip + descriptor", cpuDescribe);
            report("eye openness scale", cpuOpenness);
            report("whole frame", cpuTotal);
            std::printf("    faces found in %zu of %zu frames\n", faces, set->size());
        }
    }
    // The landmark fits alone, as FaceDetector::detect runs them on 640×480 frames: a coarse fit in the
    // detector's box, a coarse one on the enlarged region of the box its landmarks imply, and the full
    // one there; the finder's own fit against dlib::shape_predictor.
    for (const bool avx2 : {true, false}) {
        if (avx2 && !FaceLandmarkFinders::avx2Available()) continue;
        for (const bool dlibFit : {false, true}) {
            std::string error;
            const auto finder = dlibFit ? FaceLandmarkFinders::makeWithDlibPredictor(FaceDetector::defaultLandmarkModel(), error, avx2)
                                        : FaceLandmarkFinders::make(FaceDetector::defaultLandmarkModel(), error, avx2);
            if (!finder) {
                std::fprintf(stderr, "face-pipeline: %s\n", error.c_str());
                return 1;
            }
            std::vector<double> coarse, enlarged, full, resize;
            for (std::size_t i = 0; i < camera.size(); i += 2) {
                cv::Mat gray;
                cv::cvtColor(camera[i], gray, cv::COLOR_BGR2GRAY);
                const auto boxes = finder->faces(gray);
                if (boxes.empty()) continue;
                double t = threadMs();
                const auto first = finder->landmarks(gray, boxes[FaceLandmarkFinders::largestBox(boxes)], true);
                coarse.push_back(threadMs() - t);
                if (first.size() != 68) continue;
                t = threadMs();
                const auto second = FaceLandmarkFinders::subpixelLandmarks(*finder, gray, FaceGeometry::landmarkBox(first), true);
                enlarged.push_back(threadMs() - t);
                const cv::Rect2d box = FaceGeometry::landmarkBox(second);
                t = threadMs();
                FaceLandmarkFinders::subpixelLandmarks(*finder, gray, box);
                full.push_back(threadMs() - t);
                // What enlarging the whole region once cost each of the last two.
                const double scale = std::clamp(400 / box.width, 1.0, 4.0);
                const cv::Rect region = cv::Rect(cv::Rect2d(box.x - box.width / 4, box.y - box.height / 4,
                                                            box.width * 1.5, box.height * 1.5)) & cv::Rect(0, 0, gray.cols, gray.rows);
                cv::Mat patch;
                t = threadMs();
                if (!region.empty()) cv::resize(gray(region), patch, cv::Size(), scale, scale, cv::INTER_CUBIC);
                resize.push_back(threadMs() - t);
            }
            std::printf("  landmark fits alone, %s build, %s, 640x480 frames, thread CPU time\n", finder->instructionSet(),
                        dlibFit ? "dlib::shape_predictor" : "own fit");
            report("coarse, detector box", coarse);
            report("coarse, enlarged", enlarged);
            report("full, enlarged", full);
            report("whole-region resize", resize);
        }
    }
    // The network alone, by engine, on the chips of the faces in every fourth camera-size frame.
    std::vector<cv::Mat> chips;
    {
        FaceDetector detector;
        for (std::size_t i = 0; i < camera.size(); i += 4)
            if (const auto face = detector.detect(camera[i])) chips.push_back(DescriptorRecognizer::alignedChip(*face));
    }
    if (chips.empty()) return 0;
    const TfjsWeights& weights = *recognizer.weights();
    const auto loops = FaceDescriptorNet::referenceDescriptor(weights, chips[0]);
    std::printf("  descriptor network alone, %zu chips\n", chips.size());
    for (const auto engine : {DescriptorNetwork::Engine::avx512, DescriptorNetwork::Engine::avx2,
                              DescriptorNetwork::Engine::opencv}) {
        if (!DescriptorNetwork::available(engine)) continue;
        DescriptorNetwork network(weights, engine);
        double worst = 0;
        const auto first = network.compute(chips[0]);
        for (std::size_t i = 0; i < first.size(); ++i) worst = std::max(worst, double(std::fabs(first[i] - loops[i])));
        std::vector<double> wall, cpu;
        for (const auto& chip : chips) {
            const auto a = Clock::now();
            const double ca = threadMs();
            network.compute(chip);
            wall.push_back(msSince(a));
            cpu.push_back(threadMs() - ca);
        }
        std::printf("  %s (max abs difference from the plain loops on the first chip %.2g)\n",
                    DescriptorNetwork::engineName(engine), worst);
        report("wall time", wall);
        report("thread CPU time", cpu);
    }
    // For comparison: the OpenCV graph with OpenCV's default thread count.
    const int threads = [] {
        cv::setNumThreads(-1);
        return cv::getNumThreads();
    }();
    DescriptorNetwork graph(weights, DescriptorNetwork::Engine::opencv);
    std::vector<double> times;
    for (const auto& chip : chips) {
        const auto a = Clock::now();
        graph.compute(chip);
        times.push_back(msSince(a));
    }
    std::printf("  opencv with its default %d threads\n", threads);
    report("wall time", times);
    return 0;
}
