#include "FileIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
std::string errnoText(int err) { return std::strerror(err); }

class SystemFileWriter final : public FileWriter {
public:
    void writeAtomically(const fs::path& path, std::span<const std::uint8_t> data, mode_t mode) override {
        const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
        std::string tmpl = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
        const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
        if (fd < 0) {
            throw FileError("The file “" + path.filename().string() + "” couldn’t be saved: " + errnoText(errno));
        }
        auto fail = [&](int err) {
            ::close(fd);
            ::unlink(tmpl.c_str());
            throw FileError("The file “" + path.filename().string() + "” couldn’t be saved: " + errnoText(err));
        };
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                fail(errno);
            }
            done += std::size_t(n);
        }
        if (::fchmod(fd, mode) != 0) fail(errno);
        if (::fsync(fd) != 0) fail(errno);
        if (::close(fd) != 0) {
            const int err = errno;
            ::unlink(tmpl.c_str());
            throw FileError("The file “" + path.filename().string() + "” couldn’t be saved: " + errnoText(err));
        }
        if (::rename(tmpl.c_str(), path.c_str()) != 0) {
            const int err = errno;
            ::unlink(tmpl.c_str());
            throw FileError("The file “" + path.filename().string() + "” couldn’t be saved: " + errnoText(err));
        }
        syncDirectory(dir);
    }
};
}  // namespace

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
