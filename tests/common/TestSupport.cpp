#include "TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>
#include <sstream>

namespace TestSupport {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "korvel-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ScopedDataHome::ScopedDataHome() {
    if (const char* prev = std::getenv("XDG_DATA_HOME")) previous_ = prev;
    ::setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
}

ScopedDataHome::~ScopedDataHome() {
    if (previous_) ::setenv("XDG_DATA_HOME", previous_->c_str(), 1);
    else ::unsetenv("XDG_DATA_HOME");
}

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

void makeFifo(const std::filesystem::path& path) {
    if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
}

void makeSparseFile(const std::filesystem::path& path, std::uint64_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || ::ftruncate(fd, off_t(size)) != 0) throw std::runtime_error("cannot make a sparse file");
    ::close(fd);
}

bool finishesWithin(const std::function<void()>& work, const std::filesystem::path& fifo, int timeoutMs) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([work, done] {
        try {
            work();
        } catch (...) {
        }
        done->set_value();
    }).detach();
    if (finished.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready) return true;
    for (int i = 0; i < 50 && finished.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready; ++i) {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) ::close(fd);
    }
    return false;
}

std::string golden(const std::string& name) {
    return readText(std::filesystem::path(KORVEL_TEST_SOURCE_DIR) / "golden" / name);
}

std::optional<std::filesystem::path> dataDir() {
    std::filesystem::path dir = KORVEL_TEST_DATA;
    if (const char* env = std::getenv("KORVEL_TEST_DATA")) dir = env;
    std::error_code ec;
    if (std::filesystem::is_directory(dir / "faces", ec) && std::filesystem::is_directory(dir / "blink", ec))
        return dir;
    return std::nullopt;
}

void FailingFileWriter::writeAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> data,
                                        mode_t mode) {
    ++writes;
    if (shouldFail && shouldFail(writes, path)) throw FileError("Injected write failure for " + path.filename().string());
    FileWriter::system().writeAtomically(path, data, mode);
}

void FailingFileWriter::streamAtomically(const std::filesystem::path& path,
                                         const std::function<void(const ByteSink&)>& produce, mode_t mode) {
    ++writes;
    if (shouldFail && shouldFail(writes, path)) throw FileError("Injected write failure for " + path.filename().string());
    FileWriter::system().streamAtomically(path, produce, mode);
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}
}  // namespace TestSupport
