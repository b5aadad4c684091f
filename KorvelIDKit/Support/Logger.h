#pragma once
// The core's four diagnostic channels, subsystem "com.korvel.id": camera, face, auth, store.
// Lines go to the systemd journal when one is running, else to standard error; each channel is a
// QLoggingCategory ("com.korvel.id.camera", …) so QT_LOGGING_RULES can silence it. Tests capture
// lines with LogCapture.
#include <cstdarg>
#include <functional>
#include <string>
#include <vector>

enum class LogLevel { debug, info, error };

struct LogLine {
    std::string subsystem;
    std::string category;
    LogLevel level;
    std::string message;
};

class LogChannel {
public:
    LogChannel(std::string subsystem, std::string category);
    void debug(const std::string& message) const { write(LogLevel::debug, message); }
    void info(const std::string& message) const { write(LogLevel::info, message); }
    void error(const std::string& message) const { write(LogLevel::error, message); }
    void write(LogLevel level, const std::string& message) const;

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

private:
    std::string subsystem_;
    std::string category_;
    struct Impl;
    Impl* impl_;  // the QLoggingCategory, kept for the life of the process
};

namespace Log {
const LogChannel& camera();
const LogChannel& face();
const LogChannel& auth();
const LogChannel& store();
}  // namespace Log

// printf-style formatting of log messages ("%ld profile(s) loaded.").
std::string strprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Records every line written while it exists (in addition to the normal output). Nestable.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> lines() const;
    // Messages of one category (or all when empty), in order.
    std::vector<std::string> messages(const std::string& category = {}) const;
    bool contains(const std::string& message) const;
    void clear();

    struct State;  // shared with the log sinks

private:
    State* state_;
};
