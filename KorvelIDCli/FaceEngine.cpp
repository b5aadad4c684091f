#include "FaceEngine.h"

#include <csignal>
#include <iostream>

#include "Face/FaceDetector.h"
#include "Face/FaceRecognizer.h"
#include "Localization/Localization.h"
#include "Platform/CameraDevices.h"
#include "Platform/VideoFileSource.h"
#include "Session.h"

namespace Cli {
namespace {

std::stop_source& interrupts() {
    static std::stop_source source;
    return source;
}

extern "C" void onInterrupt(int) { interrupts().request_stop(); }

FrameSourceFactory sourceFor(const Arguments& args) {
    if (args.value("--camera") && args.value("--video")) throw UsageError("--camera and --video exclude each other");
    if (const auto video = args.value("--video")) {
        if (!std::filesystem::is_regular_file(*video)) throw Failure("Cannot read the video " + *video + ".");
        // Looped, as a camera never runs out of frames: a short clip can still give every sample.
        return VideoFileSource::factory(*video, {.loop = true});
    }
    if (const auto camera = args.value("--camera")) {
        int index = -1;
        try {
            std::size_t used = 0;
            index = std::stoi(*camera, &used);
            if (used != camera->size()) index = -1;
        } catch (const std::exception&) {
        }
        if (index < 0) throw UsageError("--camera takes the N of /dev/videoN");
        return V4L2FrameSource::factory("/dev", index);
    }
    return V4L2FrameSource::factory();
}

}  // namespace

std::stop_token interruptToken() {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        return true;
    }();
    (void)installed;
    return interrupts().get_token();
}

FaceEngine makeFaceEngine(const Arguments& args, Settings settings, AuthEngine::Options options) {
    FaceEngine out;
    out.store = std::make_unique<FaceStore>(dataFolder() / FaceStore::fileName);
    out.engine = std::make_unique<AuthEngine>(*out.store, std::make_unique<FaceDetector>(),
                                              std::make_unique<DescriptorRecognizer>(), std::move(settings),
                                              sourceFor(args), std::move(options));
    return out;
}

bool scanForUnlock(const Arguments& args) {
    auto face = makeFaceEngine(args, Settings::load());
    if (face.store->profiles.empty()) throw Failure("No face is enrolled.");
    std::cerr << "Look at the camera" << (face.engine->settings().livenessRequired() ? " and blink" : "") << "…\n";
    const std::stop_token interrupted = interruptToken();
    const AuthResult result = face.engine->authenticate([](const ScanStatus&) {}, interrupted);
    // Interrupted while waiting for a frame, the scan is judged on what it saw so far: a match
    // then is still no unlock the person wanted.
    if (interrupted.stop_requested()) throw Failure("Cancelled.");
    switch (result.kind) {
    case AuthResult::Kind::matched: return true;
    case AuthResult::Kind::cameraError: throw Failure(result.description, Exit::failed);
    case AuthResult::Kind::cancelled: throw Failure("Cancelled.");
    case AuthResult::Kind::lockedOut: throw Failure(L("curtain.faceLocked"));
    default: throw Failure("Face not recognized");
    }
}

}  // namespace Cli
