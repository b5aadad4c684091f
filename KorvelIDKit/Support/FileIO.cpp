#include "FileIO.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "AppPaths.h"
#include "SymmetricKey.h"

namespace {
std::string errnoText(int err) { return std::strerror(err); }

[[noreturn]] void throwSaveError(const fs::path& path, int err) {
    throw FileError("The file “" + path.filename().string() + "” couldn’t be saved: " + errnoText(err));
}

// A temporary file next to the target that is removed unless it was renamed into place. Where the
// folder can hold unnamed files it has no name until it is complete, so that a process killed
// mid-write leaves nothing (exports write plaintext into folders nobody tidies up).
class TemporaryFile {
public:
    explicit TemporaryFile(const fs::path& target) : target_(target) {
        dir_ = target.has_parent_path() ? target.parent_path() : fs::path(".");
        // Cut so that a target of the longest allowed name still gets a temporary name that fits.
        std::string base = target.filename().string();
        if (base.size() > NAME_MAX - 8) {
            std::size_t keep = NAME_MAX - 8;
            while (keep > 0 && (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80) --keep;  // not inside a UTF-8 sequence
            base.resize(keep);
        }
        name_ = (dir_ / ("." + base + ".XXXXXX")).string();
        // Linking an unnamed file needs its /proc/self/fd entry.
        if (::access("/proc/self/fd", X_OK) == 0) fd_ = ::open(dir_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (fd_ >= 0) return;
        fd_ = ::mkostemp(name_.data(), O_CLOEXEC);  // mode 0600
        if (fd_ < 0) throwSaveError(target_, errno);
        named_ = true;
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (fd_ >= 0) ::close(fd_);
        if (named_ && !committed_) ::unlink(name_.c_str());
    }

    void write(std::span<const std::uint8_t> data) {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                throwSaveError(target_, errno);
            }
            done += std::size_t(n);
        }
    }

    void commit(mode_t mode) {
        if (::fchmod(fd_, mode) != 0) throwSaveError(target_, errno);
        if (::fsync(fd_) != 0) throwSaveError(target_, errno);
        if (!named_) giveName();
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) throwSaveError(target_, errno);
        if (::rename(name_.c_str(), target_.c_str()) != 0) throwSaveError(target_, errno);
        committed_ = true;
        syncDirectory(dir_);
    }

private:
    // The complete file gets the temporary name (same pattern as a named one, so start-up tidying
    // knows it), then is renamed into place like any other.
    void giveName() {
        const std::string self = "/proc/self/fd/" + std::to_string(fd_);
        const std::string pattern = name_;
        static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::array<std::uint8_t, 6> random{};
            if (!secureRandomBytes(random)) throwSaveError(target_, EIO);
            name_ = pattern;
            for (std::size_t i = 0; i < random.size(); ++i) name_[name_.size() - 6 + i] = letters[random[i] % 62];
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name_.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                named_ = true;
                return;
            }
            if (errno != EEXIST) throwSaveError(target_, errno);
        }
        throwSaveError(target_, EEXIST);
    }

    fs::path target_;
    fs::path dir_;
    std::string name_;
    int fd_ = -1;
    bool named_ = false;
    bool committed_ = false;
};

class SystemFileWriter final : public FileWriter {
public:
    void writeAtomically(const fs::path& path, std::span<const std::uint8_t> data, mode_t mode) override {
        TemporaryFile file(path);
        file.write(data);
        file.commit(mode);
    }
};
}  // namespace

void FileWriter::streamAtomically(const fs::path& path, const std::function<void(const ByteSink&)>& produce,
                                  mode_t mode) {
    TemporaryFile file(path);
    produce([&file](std::span<const std::uint8_t> piece) { file.write(piece); });
    file.commit(mode);
}

namespace {
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

ReadResult failedRead(ReadResult::Status status, std::string error) {
    ReadResult r;
    r.status = status;
    r.error = std::move(error);
    return r;
}

// Grows a buffer holding file content without leaving an unwiped copy behind.
void growWiping(Bytes& data, std::size_t capacity) {
    Bytes bigger;
    bigger.reserve(capacity);
    bigger.assign(data.begin(), data.end());
    secureWipe(data);
    data.swap(bigger);
}

// mkostemp's temporary names: the target's name behind a dot, then a dot and six letters or digits.
bool isAtomicWriteTemporary(const std::string& name) {
    if (name.size() < 9 || name[0] != '.' || name[name.size() - 7] != '.') return false;
    for (std::size_t i = name.size() - 6; i < name.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
    return true;
}
}  // namespace

ReadResult readWholeFile(const fs::path& path, const ReadOptions& options) {
    // O_NONBLOCK: opening a pipe for reading would otherwise wait for a writer forever.
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (options.followLinks ? 0 : O_NOFOLLOW);
    Descriptor fd(::open(path.c_str(), flags));
    if (fd.get() < 0) {
        const int err = errno;
        if (err == ENOENT) return failedRead(ReadResult::Status::missing, errnoText(err));
        if (err == ELOOP) return failedRead(ReadResult::Status::unreadable, "it is a symbolic link");
        return failedRead(ReadResult::Status::unreadable, errnoText(err));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return failedRead(ReadResult::Status::unreadable, errnoText(errno));
    if (S_ISDIR(st.st_mode)) return failedRead(ReadResult::Status::unreadable, errnoText(EISDIR));
    if (!S_ISREG(st.st_mode)) return failedRead(ReadResult::Status::unreadable, "it is not a regular file");
    const auto tooLarge = [] { return failedRead(ReadResult::Status::tooLarge, "the file is too large"); };
    if (std::uint64_t(st.st_size) > options.maxBytes) return tooLarge();

    ReadResult r;
    // One byte more than the size, so that reaching the end needs no second buffer.
    r.data.reserve(std::size_t(st.st_size) + 1);
    for (;;) {
        if (r.data.size() == r.data.capacity()) {
            // The file grew while being read.
            if (r.data.size() > options.maxBytes) {
                secureWipe(r.data);
                return tooLarge();
            }
            growWiping(r.data, std::size_t(std::min<std::uint64_t>(r.data.capacity() * 2, options.maxBytes) + 1));
        }
        const std::size_t done = r.data.size();
        r.data.resize(r.data.capacity());
        const ssize_t n = ::read(fd.get(), r.data.data() + done, r.data.size() - done);
        const int err = errno;
        r.data.resize(done + std::size_t(std::max<ssize_t>(n, 0)));
        if (n < 0) {
            if (err == EINTR) continue;
            secureWipe(r.data);
            return failedRead(ReadResult::Status::unreadable, errnoText(err));
        }
        if (n == 0) break;
    }
    if (r.data.size() > options.maxBytes) {
        secureWipe(r.data);
        return tooLarge();
    }
    r.status = ReadResult::Status::ok;
    return r;
}

std::size_t removeAtomicWriteLeftovers(const fs::path& folder) {
    Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.get() < 0) return 0;
    std::vector<std::string> found;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (isAtomicWriteTemporary(name)) found.push_back(name);
    }
    std::size_t removed = 0;
    for (const auto& name : found) {
        struct stat st {};
        // Checked through the opened folder, so a folder swapped meanwhile cannot redirect it.
        if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        if (::unlinkat(dir.get(), name.c_str(), 0) == 0) ++removed;
    }
    if (removed > 0) ::fsync(dir.get());
    return removed;
}

void ensurePrivateFolder(const fs::path& dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        AppPaths::ensureDirectory(dir);  // missing parents
    }
    Descriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        const int err = errno;
        throw FileError("The folder “" + dir.filename().string() + "” couldn’t be used: " +
                        (err == ELOOP || err == ENOTDIR ? std::string("it is not a real folder") : errnoText(err)));
    }
    ::fchmod(fd.get(), 0700);
}

namespace {
// Empties the folder open as `dirFd`; entries are reached only through their parent's descriptor.
void removeContentsAt(int dirFd, int depth) {
    DIR* listing = ::fdopendir(::dup(dirFd));
    if (!listing) return;
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(listing)) {
        const std::string_view name = e->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(listing);
    for (const auto& name : names) {
        if (::unlinkat(dirFd, name.c_str(), 0) == 0) continue;
        if (errno != EISDIR && errno != EPERM) continue;
        if (depth > 64) continue;
        // A program may have left a folder read-only (an unpacked archive): ours, so it is made
        // writable first, or the files inside would outlive the emptying. Through an O_PATH
        // descriptor the folder is reached without following a link, whatever its mode.
        Descriptor at(::openat(dirFd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (at.get() < 0) continue;
        struct stat st {};
        if (::fstat(at.get(), &st) == 0 && (st.st_mode & 0700) != 0700)
            ::chmod(("/proc/self/fd/" + std::to_string(at.get())).c_str(), 0700);
        Descriptor sub(::openat(at.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (sub.get() < 0) continue;
        removeContentsAt(sub.get(), depth + 1);
        ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR);
    }
}
}  // namespace

void removeFolderContents(const fs::path& dir) {
    Descriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) return;
    removeContentsAt(fd.get(), 0);
    ::fsync(fd.get());
}

void syncDirectory(const fs::path& dir) {
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return;
    ::fsync(dfd);
    ::close(dfd);
}

FileWriter& FileWriter::system() {
    static SystemFileWriter writer;
    return writer;
}

void writeFileAtomically(const fs::path& path, std::span<const std::uint8_t> data, mode_t mode) {
    FileWriter::system().writeAtomically(path, data, mode);
}
