#pragma once
// Helpers shared by the test programs.
#include <gtest/gtest.h>

#include <QObject>
#include <QString>
#include <QStringList>

#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "Localization/Localization.h"
#include "Support/Bytes.h"
#include "Support/FileIO.h"

class QProcess;
class VaultStore;

namespace TestSupport {

// A fresh directory under the system temp folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Sets (nothing: unsets) environment variables while it lives; puts back what was there before.
class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(std::initializer_list<std::pair<const char*, std::optional<std::string>>> values);
    ~ScopedEnv();
    void set(const char* name, const std::optional<std::string>& value);
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> previous_;
};

// Points XDG_DATA_HOME at a temporary folder while it lives.
class ScopedDataHome {
public:
    const std::filesystem::path& path() const { return dir_.path(); }

private:
    TempDir dir_;
    ScopedEnv env_{{"XDG_DATA_HOME", dir_.path().string()}};
};

// Sets the shared localizer's language while it lives.
class ScopedLanguage {
public:
    explicit ScopedLanguage(AppLanguage language);
    ~ScopedLanguage();

private:
    AppLanguage previous_;
};

// Installs the vault facade's store while it lives; none afterwards.
class ScopedVaultStore {
public:
    explicit ScopedVaultStore(std::unique_ptr<VaultStore> store);
    ~ScopedVaultStore();
};

// The permission bits of a file (07777), or -1 when it cannot be examined.
int fileMode(const std::filesystem::path& path);

// Lower-case hexadecimal.
std::string hex(std::span<const std::uint8_t> bytes);

// Runs `body` as a user who is not root: directly, or (as root, in CI) in a child dropped to "nobody"
// after `dir` was handed to it; failures inside the child fail the test.
void asUnprivilegedUser(const std::filesystem::path& dir, const std::function<void()>& body);

// Whether every test must run (KORVEL_REQUIRE_ALL=1, as in CI): anything missing fails, not skips.
bool requireAll();

std::string readText(const std::filesystem::path& path);
void writeText(const std::filesystem::path& path, const std::string& text);
std::string golden(const std::string& name);  // tests/golden/<name>

// Skips with the streamed message, or fails where every test must run; returns like GTEST_SKIP.
#define KORVEL_SKIP()                                                                                       \
    return GTEST_MESSAGE_AT_(__FILE__, __LINE__,                                                            \
                             ::TestSupport::requireAll() ? "Every test must run here (KORVEL_REQUIRE_ALL)"  \
                                                         : "Skipped",                                       \
                             ::TestSupport::requireAll() ? ::testing::TestPartResult::kFatalFailure         \
                                                         : ::testing::TestPartResult::kSkip)

// The shared face data folder, or nothing (the caller skips with a message).
std::optional<std::filesystem::path> dataDir();
#define KORVEL_REQUIRE_DATA(var)                                                                 \
    const auto var##_opt = ::TestSupport::dataDir();                                             \
    if (!var##_opt) KORVEL_SKIP() << "face test data not found (set KORVEL_TEST_DATA)";          \
    const std::filesystem::path var = *var##_opt

// A FileWriter that fails on chosen calls and otherwise writes for real.
class FailingFileWriter final : public FileWriter {
public:
    // Called with the 1-based number of the write and the target; return true to make it fail.
    std::function<bool(int, const std::filesystem::path&)> shouldFail;
    int writes = 0;
    void writeAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> data, mode_t mode) override;
    // Counted and failed like writeAtomically; a failing call throws before anything is written.
    void streamAtomically(const std::filesystem::path& path, const std::function<void(const ByteSink&)>& produce,
                          mode_t mode) override;
};

// Hostile files planted in a data folder.
void makeFifo(const std::filesystem::path& path);
void makeSparseFile(const std::filesystem::path& path, std::uint64_t size);

// Runs `work` on its own thread; whether it returned within `timeoutMs`. If not, it is presumed stuck
// opening the pipe `fifo`, which is then opened for writing so that a failing test still ends.
bool finishesWithin(const std::function<void()>& work, const std::filesystem::path& fifo, int timeoutMs = 3000);

// Runs the Qt event loop until `done` is true or the timeout passes; returns `done()`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// Runs a program to its end (or the timeout) and returns what it printed.
QString run(const QString& program, const QStringList& args, int timeoutMs = 10000);
// Ends a started process: asked first, killed after three seconds.
void stop(QProcess& process);

// Whether every camera is off (activity back at zero) within 10 s: checked after a scan or enrolment.
bool cameraOff();

// The child of `root` with this object name, or a failure of the calling test (and nullptr).
template <typename T>
T* child(const QObject& root, const char* name) {
    T* found = root.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << "no child " << name;
    return found;
}

}  // namespace TestSupport
