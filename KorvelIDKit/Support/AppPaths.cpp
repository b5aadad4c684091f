#include "AppPaths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <system_error>

namespace {
std::mutex gMutex;
std::optional<std::string> gIdentifier;
}  // namespace

namespace AppPaths {

void setApplicationIdentifier(std::optional<std::string> identifier) {
    std::lock_guard lock(gMutex);
    if (identifier && identifier->empty()) identifier.reset();
    gIdentifier = std::move(identifier);
}

std::string applicationIdentifier() {
    std::lock_guard lock(gMutex);
    return gIdentifier.value_or(unbundledIdentifier);
}

std::filesystem::path dataHome() {
    // XDG: a relative value is invalid and must be ignored.
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') return xdg;
    std::filesystem::path home;
    if (const char* h = std::getenv("HOME"); h && h[0] == '/') {
        home = h;
    } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
        home = pw->pw_dir;
    } else {
        home = "/tmp";
    }
    return home / ".local" / "share";
}

std::filesystem::path supportDirectory() {
    auto dir = dataHome() / "KorvelID" / applicationIdentifier();
    ensureDirectory(dir);
    return dir;
}

void ensureDirectory(const std::filesystem::path& dir) {
    std::error_code ec;
    if (std::filesystem::exists(dir, ec)) return;
    // Create parent by parent so that only the folders we make get the owner-only mode.
    std::filesystem::path partial;
    for (const auto& part : dir) {
        partial /= part;
        if (std::filesystem::exists(partial, ec)) continue;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return;
    }
}
}  // namespace AppPaths
