#include "Platform/VideoInput.h"

#include <dlfcn.h>

#include <filesystem>
#include <vector>

#include "Support/Logger.h"

namespace {

struct Loaded {
    decltype(&korvelCreateVideoInputBackend) create = nullptr;
    std::string error;
};

// The build tree's programs know where the part was built; an installed program finds it in
// <prefix>/lib/korvel-id, next to its own bin folder, or beside itself (the face service lives there).
std::vector<std::filesystem::path> candidates() {
    std::vector<std::filesystem::path> paths;
    if (const char* built = KORVEL_VIDEO_MODULE; *built) paths.emplace_back(built);
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        paths.push_back(exe.parent_path().parent_path() / "lib" / "korvel-id" / "korvel-video.so");
        paths.push_back(exe.parent_path() / "korvel-video.so");
    }
    return paths;
}

const Loaded& loaded() {
    static const Loaded result = [] {
        Loaded l;
        for (const auto& path : candidates()) {
            std::error_code ec;
            if (!std::filesystem::is_regular_file(path, ec)) continue;
            // Never unloaded: backends live until the process ends.
            void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!handle) {
                l.error = dlerror();
                continue;
            }
            if (auto* symbol = dlsym(handle, "korvelCreateVideoInputBackend")) {
                l.create = reinterpret_cast<decltype(l.create)>(symbol);
                l.error.clear();
                return l;
            }
            l.error = path.string() + " has no video input entry point";
        }
        if (l.error.empty()) l.error = "the video input module korvel-video.so is not installed";
        Log::camera().error("Video input unavailable: " + l.error);
        return l;
    }();
    return result;
}

}  // namespace

bool VideoInput::ensureBackend() {
    if (!backend_) {
        if (const auto create = loaded().create) backend_.reset(create());
    }
    return backend_ != nullptr;
}

bool VideoInput::open(int index, int api) {
    return ensureBackend() && backend_->open(index, api);
}

bool VideoInput::open(const std::string& file, int api) {
    return ensureBackend() && backend_->open(file, api);
}

std::string VideoInput::loadError() {
    return loaded().error;
}
