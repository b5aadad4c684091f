#pragma once
// One writer per data folder: the application holds this lock for its whole run, and every command
// of the command-line tool that changes a file takes it for the length of the command. It is an
// advisory flock on the folder itself, so it ends with the process however the process ends and
// holds even when ".lock" is deleted; ".lock" is flocked too (as earlier versions did) and names
// the holder's PID.
#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

class DataFolderLock {
public:
    static constexpr const char* fileName = ".lock";

    ~DataFolderLock();
    DataFolderLock(const DataFolderLock&) = delete;
    DataFolderLock& operator=(const DataFolderLock&) = delete;

    struct Outcome {
        std::unique_ptr<DataFolderLock> lock;  // set when this process now holds the folder
        std::optional<pid_t> holder;           // otherwise: the process that holds it, when known
        std::string error;                     // otherwise: why it could not be taken
    };

    // Never waits: a folder held by another process is reported at once. The folder must exist;
    // the lock file is opened without following links.
    static Outcome tryAcquire(const std::filesystem::path& folder);

    // The process holding `folder`'s lock when it is held (0 when the holder wrote no PID). Takes nothing.
    static std::optional<pid_t> holder(const std::filesystem::path& folder);
    // Whether this process holds a data folder's lock now: only then may it tidy up what a writer
    // leaves behind (half-written files, opened copies), which may be another writer's work in progress.
    static bool heldHere();

private:
    DataFolderLock(int folderFd, int fd) : folderFd_(folderFd), fd_(fd) {}
    int folderFd_;
    int fd_;
};
