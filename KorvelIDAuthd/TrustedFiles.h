#pragma once
// Files the face service trusts: its configuration (root's) and its state folder (its own). The
// service decides who may run sudo, so nothing it reads may be writable by the people it judges:
// a file or folder that another user could write, a link, or anything but a regular file is
// refused, and the check is made on the opened file so it cannot be swapped in between.
#include <sys/types.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "Face/FaceStore.h"

namespace TrustedFiles {
// The whole file when it is a regular file owned by `owner`, not writable by group or others, at
// most `maxBytes`; with `privateOnly`, also unreadable by them. Nothing for a missing file;
// throws std::runtime_error saying why for any other refusal.
std::optional<std::string> read(const std::filesystem::path& file, uid_t owner, std::size_t maxBytes,
                                bool privateOnly = false);
// Throws unless `dir` is a real folder owned by `owner` that nobody else may write (and with
// `privateOnly`, read or enter).
void checkFolder(const std::filesystem::path& dir, uid_t owner, bool privateOnly);
// Why someone other than root could change what `file` holds: it is a link or not a regular file,
// not root's, writable by group or others, or a folder on its path is (a sticky folder of root's
// such as /tmp only guards root's entries, which is enough). Nothing when only root can.
std::optional<std::string> whyNotRootsAlone(const std::filesystem::path& file);
}  // namespace TrustedFiles

// /etc/korvel-id/system.json: which camera (or, for tests and demonstrations, which recording),
// how long a scan may take, and whether face authentication is on at all.
struct SystemConfig {
    bool enabled = true;
    std::optional<int> camera;                  // /dev/videoN; the first capture device when absent
    std::optional<std::filesystem::path> video;  // a recording standing in for the camera
    double videoStart = 0;                      // seconds into the recording
    double timeout = 5;                         // seconds per scan

    static constexpr double maxTimeout = 60;
    // Defaults when the file is missing. Throws std::runtime_error when it is not root's alone
    // or not a valid configuration: the service then refuses to start.
    static SystemConfig load(const std::filesystem::path& file);
    static SystemConfig decode(std::string_view json);
};

// The service's state folder: one enrolment per uid ("<uid>.json", the face store's format with
// one profile) and the failed-attempt counts ("failures.json").
class SystemEnrollments {
public:
    // Throws std::runtime_error when the folder is not the service's own, private one.
    explicit SystemEnrollments(std::filesystem::path dir);

    // Nothing when missing; a file that fails the checks is never read (the reason is logged).
    std::optional<FaceProfile> load(uid_t uid) const;
    void save(uid_t uid, const FaceProfile& profile);
    bool remove(uid_t uid);

    int failures(uid_t uid) const;
    void setFailures(uid_t uid, int count);
    // One more failed attempt, read and written under one lock (a password may reset it meanwhile).
    void addFailure(uid_t uid);

    const std::filesystem::path& dir() const { return dir_; }

private:
    std::filesystem::path fileFor(uid_t uid) const;
    void saveFailures();  // with mutex_ held
    std::filesystem::path dir_;
    mutable std::mutex mutex_;  // handlers of several callers reach the folder at once
    std::map<uid_t, int> failures_;
};
