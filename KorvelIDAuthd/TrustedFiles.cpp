#include "TrustedFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "Support/FileIO.h"
#include "Support/Json.h"
#include "Support/Logger.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void refuse(const fs::path& path, const std::string& why) {
    throw std::runtime_error(path.string() + ": " + why);
}

void checkStat(const fs::path& path, const struct stat& st, uid_t owner, bool privateOnly) {
    if (st.st_uid != owner) refuse(path, "owned by uid " + std::to_string(st.st_uid) + ", not " + std::to_string(owner));
    if (st.st_mode & (S_IWGRP | S_IWOTH)) refuse(path, "writable by group or others");
    if (privateOnly && (st.st_mode & (S_IRWXG | S_IRWXO))) refuse(path, "open to group or others");
}

}  // namespace

namespace TrustedFiles {

std::optional<std::string> read(const fs::path& file, uid_t owner, std::size_t maxBytes, bool privateOnly) {
    // The folder holding it decides who could replace it.
    struct stat parent {};
    if (::stat(file.parent_path().c_str(), &parent) != 0) refuse(file.parent_path(), std::strerror(errno));
    const bool stickyRoot = parent.st_uid == 0 && (parent.st_mode & S_ISVTX);
    if (!stickyRoot && (parent.st_uid != owner && parent.st_uid != 0)) refuse(file.parent_path(), "owned by another user");
    if (!stickyRoot && (parent.st_mode & (S_IWGRP | S_IWOTH))) refuse(file.parent_path(), "writable by group or others");

    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        refuse(file, errno == ELOOP ? "a link" : std::strerror(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) refuse(file, std::strerror(errno));
    if (!S_ISREG(st.st_mode)) refuse(file, "not a regular file");
    checkStat(file, st, owner, privateOnly);
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes) refuse(file, "too large");
    std::string data(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) refuse(file, "short read");
        got += static_cast<std::size_t>(n);
    }
    return data;
}

void checkFolder(const fs::path& dir, uid_t owner, bool privateOnly) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) refuse(dir, std::strerror(errno));
    if (!S_ISDIR(st.st_mode)) refuse(dir, "not a folder");
    checkStat(dir, st, owner, privateOnly);
}

std::optional<std::string> whyNotRootsAlone(const fs::path& file) {
    // As written: ".." would be resolved by the player through whatever the folder before it is.
    if (!file.is_absolute() || file.filename().empty() || file != file.lexically_normal())
        return file.string() + ": not a plain absolute file path";
    fs::path at = file.root_path();
    for (auto part = std::next(file.begin()); part != file.end(); ++part) {
        struct stat folder {};
        if (::lstat(at.c_str(), &folder) != 0) return at.string() + ": " + std::strerror(errno);
        if (!S_ISDIR(folder.st_mode)) return at.string() + ": a link or not a folder";
        if (folder.st_uid != 0) return at.string() + ": not root's";
        if ((folder.st_mode & (S_IWGRP | S_IWOTH)) && !(folder.st_mode & S_ISVTX)) return at.string() + ": writable by group or others";
        at /= *part;
    }
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0) return file.string() + ": " + std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return file.string() + ": a link or not a regular file";
    try {
        checkStat(file, st, 0, false);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return std::nullopt;
}

}  // namespace TrustedFiles

SystemConfig SystemConfig::decode(std::string_view json) {
    const auto root = nlohmann::json::parse(json, nullptr, false);
    if (!root.is_object()) throw std::runtime_error("system.json: not a JSON object");
    SystemConfig c;
    for (const auto& [key, value] : root.items()) {
        if (key == "enabled" && value.is_boolean()) {
            c.enabled = value.get<bool>();
        } else if (key == "camera" && value.is_number_unsigned() && value.get<std::uint64_t>() < 64) {
            c.camera = value.get<int>();
        } else if (key == "video" && value.is_string() && !value.get<std::string>().empty()) {
            c.video = fs::path(value.get<std::string>());
            if (!c.video->is_absolute()) throw std::runtime_error("system.json: \"video\" must be an absolute path");
        } else if (key == "videoStart" && value.is_number() && value.get<double>() >= 0 && value.get<double>() < 3600) {
            c.videoStart = value.get<double>();
        } else if (key == "timeout" && value.is_number() && value.get<double>() >= 1 && value.get<double>() <= maxTimeout) {
            c.timeout = value.get<double>();
        } else {
            throw std::runtime_error("system.json: \"" + key + "\" is unknown or has a value out of range");
        }
    }
    if (c.camera && c.video) throw std::runtime_error("system.json: \"camera\" and \"video\" exclude each other");
    return c;
}

SystemConfig SystemConfig::load(const fs::path& file) {
    const auto text = TrustedFiles::read(file, 0, 64 * 1024);
    return text ? decode(*text) : SystemConfig{};
}

SystemEnrollments::SystemEnrollments(fs::path dir) : dir_(std::move(dir)) {
    TrustedFiles::checkFolder(dir_, ::geteuid(), true);
    removeAtomicWriteLeftovers(dir_);
    try {
        if (const auto text = TrustedFiles::read(dir_ / "failures.json", ::geteuid(), 64 * 1024, true)) {
            const auto root = nlohmann::json::parse(*text, nullptr, false);
            if (root.is_object())
                for (const auto& [key, value] : root.items())
                    if (value.is_number_unsigned() && !key.empty() && key.size() < 11 &&
                        key.find_first_not_of("0123456789") == std::string::npos)
                        failures_[static_cast<uid_t>(std::stoul(key))] = static_cast<int>(std::min<std::uint64_t>(value.get<std::uint64_t>(), 1000));
        }
    } catch (const std::exception& e) {
        Log::store().error(strprintf("Failed face attempts not read: %s", e.what()));
    }
}

fs::path SystemEnrollments::fileFor(uid_t uid) const { return dir_ / (std::to_string(uid) + ".json"); }

std::optional<FaceProfile> SystemEnrollments::load(uid_t uid) const {
    std::lock_guard lock(mutex_);
    try {
        const auto text = TrustedFiles::read(fileFor(uid), ::geteuid(), 1 << 20, true);
        if (!text) return std::nullopt;
        auto profiles = FaceProfiles::decode(*text);
        if (profiles.size() != 1 || profiles[0].embeddings.empty()) throw std::runtime_error("not one enrolled face");
        return std::move(profiles[0]);
    } catch (const std::exception& e) {
        Log::store().error(strprintf("System enrolment of uid %u refused: %s", static_cast<unsigned>(uid), e.what()));
        return std::nullopt;
    }
}

void SystemEnrollments::save(uid_t uid, const FaceProfile& profile) {
    std::lock_guard lock(mutex_);
    writeFileAtomically(fileFor(uid), FaceProfiles::encode({profile}), 0600);
}

bool SystemEnrollments::remove(uid_t uid) {
    std::lock_guard lock(mutex_);
    const bool removed = ::unlink(fileFor(uid).c_str()) == 0;
    if (removed) syncDirectory(dir_);
    return removed;
}

int SystemEnrollments::failures(uid_t uid) const {
    std::lock_guard lock(mutex_);
    const auto it = failures_.find(uid);
    return it == failures_.end() ? 0 : it->second;
}

void SystemEnrollments::setFailures(uid_t uid, int count) {
    std::lock_guard lock(mutex_);
    if (count <= 0) failures_.erase(uid);
    else failures_[uid] = count;
    saveFailures();
}

void SystemEnrollments::addFailure(uid_t uid) {
    std::lock_guard lock(mutex_);
    failures_[uid] = std::min(failures_[uid] + 1, 1000);
    saveFailures();
}

void SystemEnrollments::saveFailures() {
    JsonWriter w;
    w.beginObject();
    for (const auto& [id, n] : failures_) w.key(std::to_string(id)).integer(n);
    w.endObject();
    try {
        writeFileAtomically(dir_ / "failures.json", w.str(), 0600);
    } catch (const std::exception& e) {
        Log::store().error(strprintf("Failed face attempts not saved: %s", e.what()));
    }
}
