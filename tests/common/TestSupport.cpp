#include "TestSupport.h"

#include "Face/CameraActivity.h"
#include "Vault/KorvelIDVault.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
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

ScopedEnv::ScopedEnv(std::initializer_list<std::pair<const char*, std::optional<std::string>>> values) {
    for (const auto& [name, value] : values) set(name, value);
}

void ScopedEnv::set(const char* name, const std::optional<std::string>& value) {
    const char* before = std::getenv(name);
    previous_.emplace_back(name, before ? std::optional<std::string>(before) : std::nullopt);
    if (value) ::setenv(name, value->c_str(), 1);
    else ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    for (auto it = previous_.rbegin(); it != previous_.rend(); ++it) {
        if (it->second) ::setenv(it->first.c_str(), it->second->c_str(), 1);
        else ::unsetenv(it->first.c_str());
    }
}

ScopedLanguage::ScopedLanguage(AppLanguage language) : previous_(Localizer::shared().language()) {
    Localizer::shared().setLanguage(language);
}

ScopedLanguage::~ScopedLanguage() { Localizer::shared().setLanguage(previous_); }

ScopedVaultStore::ScopedVaultStore(std::unique_ptr<VaultStore> store) { KorvelIDVault::setStore(std::move(store)); }

ScopedVaultStore::~ScopedVaultStore() { KorvelIDVault::setStore(nullptr); }

int fileMode(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

std::string hex(std::span<const std::uint8_t> bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (auto b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

void asUnprivilegedUser(const std::filesystem::path& dir, const std::function<void()>& body) {
    if (::geteuid() != 0) return body();
    constexpr uid_t nobody = 65534;
    ASSERT_EQ(::chown(dir.c_str(), nobody, nobody), 0);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const bool dropped = ::setgroups(0, nullptr) == 0 && ::setgid(nobody) == 0 && ::setuid(nobody) == 0;
        if (dropped) body();
        std::fflush(nullptr);
        ::_exit(!dropped ? 2 : ::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WIFEXITED(status) && WEXITSTATUS(status) == 2 ? "could not drop to an unprivileged user"
                                                           : "the unprivileged part failed (see above)");
}

bool requireAll() {
    const char* v = std::getenv("KORVEL_REQUIRE_ALL");
    return v && std::string(v) == "1";
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

QString run(const QString& program, const QStringList& args, int timeoutMs) {
    QProcess p;
    p.start(program, args);
    p.waitForFinished(timeoutMs);
    return QString::fromUtf8(p.readAllStandardOutput());
}

void stop(QProcess& process) {
    if (process.state() == QProcess::NotRunning) return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
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

bool cameraOff() { return waitUntil([] { return CameraActivity::shared().activeCount() == 0; }, 10000); }
}  // namespace TestSupport
