#include "TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cstdlib>
#include <fstream>
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
