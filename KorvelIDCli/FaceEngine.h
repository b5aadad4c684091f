#pragma once
// The face engine as the application builds it (same store, models and settings), with the camera
// or a recorded video as the frame source, and Ctrl-C turned into a cancellation.
#include <memory>
#include <stop_token>

#include "CommandLine.h"
#include "Face/AuthEngine.h"
#include "Face/FaceStore.h"

namespace Cli {

struct FaceEngine {
    std::unique_ptr<FaceStore> store;
    std::unique_ptr<AuthEngine> engine;
};

// --camera N or --video FILE choose the source; the first camera otherwise. `settings` are the
// file's, as the application uses them.
FaceEngine makeFaceEngine(const Arguments& args, Settings settings, AuthEngine::Options options = {});

// Stopped by SIGINT/SIGTERM while a scan or an enrolment runs.
std::stop_token interruptToken();

// Scans once and says whether a face matched; used by --face unlocks.
bool scanForUnlock(const Arguments& args);

}  // namespace Cli
