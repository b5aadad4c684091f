#pragma once
// Helpers shared by the test programs.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "Support/Bytes.h"
#include "Support/FileIO.h"

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

// Points XDG_DATA_HOME at a temporary folder while it lives.
class ScopedDataHome {
public:
    ScopedDataHome();
    ~ScopedDataHome();
    const std::filesystem::path& path() const { return dir_.path(); }

private:
    TempDir dir_;
    std::optional<std::string> previous_;
};

std::string readText(const std::filesystem::path& path);
void writeText(const std::filesystem::path& path, const std::string& text);
std::string golden(const std::string& name);  // tests/golden/<name>

// The shared face data folder, or nothing (the caller skips with a message).
std::optional<std::filesystem::path> dataDir();
#define KORVEL_REQUIRE_DATA(var)                                                                   \
    const auto var##_opt = ::TestSupport::dataDir();                                               \
    if (!var##_opt) GTEST_SKIP() << "face test data not found (set KORVEL_TEST_DATA); skipping";   \
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

// Runs `work` on its own thread and reports whether it returned within `timeoutMs`. If it did
// not, it is presumed stuck opening the pipe `fifo`, which is then opened for writing to release
// it, so that a failing test still ends.
bool finishesWithin(const std::function<void()>& work, const std::filesystem::path& fifo, int timeoutMs = 3000);

// Runs the Qt event loop until `done` is true or the timeout passes; returns `done()`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 5000);

}  // namespace TestSupport
