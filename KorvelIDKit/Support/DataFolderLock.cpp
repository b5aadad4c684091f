#include "Support/DataFolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>

namespace {

int openLockFile(const std::filesystem::path& folder, std::string* error) {
    const auto path = folder / DataFolderLock::fileName;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        if (error) *error = path.string() + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (error) *error = path.string() + ": not a regular file";
        ::close(fd);
        return -1;
    }
    return fd;
}

std::optional<pid_t> readHolder(int fd) {
    char buffer[32] = {};
    const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
    if (n <= 0) return std::nullopt;
    pid_t pid = 0;
    const auto [end, ec] = std::from_chars(buffer, buffer + n, pid);
    if (ec != std::errc() || pid <= 0) return std::nullopt;
    (void)end;
    return pid;
}

}  // namespace

DataFolderLock::~DataFolderLock() {
    // Clear the PID before the lock goes, so nobody reads a stale holder.
    if (::ftruncate(fd_, 0) != 0) { /* the lock ends with the descriptor all the same */ }
    ::close(fd_);
}

DataFolderLock::Outcome DataFolderLock::tryAcquire(const std::filesystem::path& folder) {
    Outcome outcome;
    const int fd = openLockFile(folder, &outcome.error);
    if (fd < 0) return outcome;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        if (err == EWOULDBLOCK) {
            outcome.holder = readHolder(fd);
            outcome.error = "the data folder is in use by another process";
        } else {
            outcome.error = std::strerror(err);
        }
        ::close(fd);
        return outcome;
    }
    const std::string pid = std::to_string(::getpid());
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The lock holds without the PID; others just cannot name us.
    }
    outcome.lock.reset(new DataFolderLock(fd));
    return outcome;
}

std::optional<pid_t> DataFolderLock::holder(const std::filesystem::path& folder) {
    const int fd = openLockFile(folder, nullptr);
    if (fd < 0) return std::nullopt;
    std::optional<pid_t> result;
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
        ::flock(fd, LOCK_UN);
    } else if (errno == EWOULDBLOCK) {
        result = readHolder(fd).value_or(0);
    }
    ::close(fd);
    return result;
}
