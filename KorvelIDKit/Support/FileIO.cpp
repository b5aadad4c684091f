#include "FileIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
std::string errnoText(int err) { return std::strerror(err); }

[[noreturn]] void throwSaveError(const fs::path& path, int err) {
    throw FileError("The file “" + path.filename().string() + "” couldn’t be saved: " + errnoText(err));
}

// A temporary file next to the target that is removed unless it was renamed into place.
class TemporaryFile {
public:
    explicit TemporaryFile(const fs::path& target) : target_(target) {
        dir_ = target.has_parent_path() ? target.parent_path() : fs::path(".");
        name_ = (dir_ / ("." + target.filename().string() + ".XXXXXX")).string();
        fd_ = ::mkostemp(name_.data(), O_CLOEXEC);  // mode 0600
        if (fd_ < 0) throwSaveError(target_, errno);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(name_.c_str());
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
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) throwSaveError(target_, errno);
        if (::rename(name_.c_str(), target_.c_str()) != 0) throwSaveError(target_, errno);
        committed_ = true;
        syncDirectory(dir_);
    }

private:
    fs::path target_;
    fs::path dir_;
    std::string name_;
    int fd_ = -1;
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

ReadResult readWholeFile(const fs::path& path) {
    ReadResult r;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        r.status = err == ENOENT ? ReadResult::Status::missing : ReadResult::Status::unreadable;
        r.error = errnoText(err);
        return r;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        r.status = ReadResult::Status::unreadable;
        r.error = errnoText(EISDIR);
        return r;
    }
    if (st.st_size > 0) r.data.reserve(std::size_t(st.st_size));
    std::uint8_t buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            r.status = ReadResult::Status::unreadable;
            r.error = errnoText(errno);
            r.data.clear();
            ::close(fd);
            return r;
        }
        if (n == 0) break;
        r.data.insert(r.data.end(), buf, buf + n);
    }
    ::close(fd);
    r.status = ReadResult::Status::ok;
    return r;
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
