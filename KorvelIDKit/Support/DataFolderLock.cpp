#include "Support/DataFolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>

namespace {

std::atomic<int> gHeldHere{0};

int openLockFile(const std::filesystem::path& folder, std::string* error) {
    const auto path = folder / DataFolderLock::fileName;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        if (error) *error = path.string() + ": " + std::strerror(errno);
        return -1;
    }
    // The lock file is truncated and written: a hard link to another file (or someone else's file)
    // must not be.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != ::geteuid()) {
        if (error) *error = path.string() + ": not a regular file of our own";
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

int openFolder(const std::filesystem::path& folder, std::string* error) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && error) *error = folder.string() + ": " + std::strerror(errno);
    return fd;
}

}  // namespace

DataFolderLock::~DataFolderLock() {
    // Clear the PID before the lock goes, so nobody reads a stale holder.
    if (::ftruncate(fd_, 0) != 0) { /* the lock ends with the descriptor all the same */ }
    ::close(fd_);
    ::close(folderFd_);
    --gHeldHere;
}

bool DataFolderLock::heldHere() { return gHeldHere > 0; }

DataFolderLock::Outcome DataFolderLock::tryAcquire(const std::filesystem::path& folder) {
    Outcome outcome;
    const int folderFd = openFolder(folder, &outcome.error);
    if (folderFd < 0) return outcome;
    // A folder made earlier with a wider mode (or by hand) is narrowed, once, by whoever may change it.
    ::fchmod(folderFd, 0700);
    // Another user's folder (one XDG_DATA_HOME points to, say) is not used: they could plant faces
    // or settings in it, or take the secrets' folder away.
    struct stat st {};
    if (::fstat(folderFd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 0077) != 0) {
        outcome.error = folder.string() + ": not a folder of this user's alone";
        ::close(folderFd);
        return outcome;
    }
    const int fd = openLockFile(folder, &outcome.error);
    if (fd < 0) {
        ::close(folderFd);
        return outcome;
    }
    // The folder is the lock: a ".lock" deleted and created again is a new file nobody holds.
    for (const int held : {folderFd, fd}) {
        if (::flock(held, LOCK_EX | LOCK_NB) == 0) continue;
        const int err = errno;
        if (err == EWOULDBLOCK) {
            outcome.holder = readHolder(fd).value_or(0);
            outcome.error = "the data folder is in use by another process";
        } else {
            outcome.error = std::strerror(err);
        }
        ::close(fd);
        ::close(folderFd);
        return outcome;
    }
    const std::string pid = std::to_string(::getpid());
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        // The lock holds without the PID; others just cannot name us.
    }
    outcome.lock.reset(new DataFolderLock(folderFd, fd));
    ++gHeldHere;
    return outcome;
}

std::optional<pid_t> DataFolderLock::holder(const std::filesystem::path& folder) {
    const int folderFd = openFolder(folder, nullptr);
    if (folderFd < 0) return std::nullopt;
    std::optional<pid_t> result;
    if (::flock(folderFd, LOCK_SH | LOCK_NB) == 0) {
        ::flock(folderFd, LOCK_UN);
    } else if (errno == EWOULDBLOCK) {
        const int fd = openLockFile(folder, nullptr);
        result = fd >= 0 ? readHolder(fd).value_or(0) : 0;
        if (fd >= 0) ::close(fd);
    }
    ::close(folderFd);
    return result;
}
