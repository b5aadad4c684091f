#include "Logger.h"

#include <QLoggingCategory>

#include <sys/stat.h>

#include <cstdio>
#include <mutex>

#ifdef KORVEL_HAVE_JOURNAL
#include <systemd/sd-journal.h>
#endif

struct LogCapture::State {
    mutable std::mutex mutex;
    std::vector<LogLine> lines;
};

namespace {
std::mutex gSinkMutex;
std::vector<LogCapture::State*>& captures() {
    static std::vector<LogCapture::State*> list;
    return list;
}

bool journalAvailable() {
#ifdef KORVEL_HAVE_JOURNAL
    static const bool available = [] {
        struct stat st {};
        return ::stat("/run/systemd/journal/socket", &st) == 0;
    }();
    return available;
#else
    return false;
#endif
}

const char* levelName(LogLevel level) {
    switch (level) {
    case LogLevel::debug: return "debug";
    case LogLevel::info: return "info";
    case LogLevel::error: return "error";
    }
    return "info";
}
}  // namespace

struct LogChannel::Impl {
    std::string categoryName;
    QLoggingCategory category;
    explicit Impl(std::string name) : categoryName(std::move(name)), category(categoryName.c_str(), QtInfoMsg) {}
};

LogChannel::LogChannel(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)),
      impl_(new Impl(subsystem_ + "." + category_)) {}

void LogChannel::write(LogLevel level, const std::string& message) const {
    {
        std::lock_guard lock(gSinkMutex);
        for (auto* capture : captures()) {
            std::lock_guard inner(capture->mutex);
            capture->lines.push_back({subsystem_, category_, level, message});
        }
    }
    const QLoggingCategory& cat = impl_->category;
    const bool enabled = level == LogLevel::error ? cat.isCriticalEnabled()
                         : level == LogLevel::info ? cat.isInfoEnabled()
                                                   : cat.isDebugEnabled();
    if (!enabled) return;
#ifdef KORVEL_HAVE_JOURNAL
    if (journalAvailable()) {
        const int priority = level == LogLevel::error ? 3 : level == LogLevel::info ? 6 : 7;
        sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%i", priority, "SYSLOG_IDENTIFIER=korvel-id",
                        "KORVEL_SUBSYSTEM=%s", subsystem_.c_str(), "KORVEL_CATEGORY=%s", category_.c_str(),
                        nullptr);
        return;
    }
#endif
    std::fprintf(stderr, "[%s] %s: %s\n", impl_->categoryName.c_str(), levelName(level), message.c_str());
}

namespace Log {
namespace {
constexpr const char* kSubsystem = "com.korvel.id";
}
const LogChannel& camera() {
    static const LogChannel channel(kSubsystem, "camera");
    return channel;
}
const LogChannel& face() {
    static const LogChannel channel(kSubsystem, "face");
    return channel;
}
const LogChannel& auth() {
    static const LogChannel channel(kSubsystem, "auth");
    return channel;
}
const LogChannel& store() {
    static const LogChannel channel(kSubsystem, "store");
    return channel;
}
}  // namespace Log

std::string strprintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(std::size_t(n) + 1);
        std::vsnprintf(out.data(), out.size(), format, args);
        out.resize(std::size_t(n));
    }
    va_end(args);
    return out;
}

LogCapture::LogCapture() : state_(new State) {
    std::lock_guard lock(gSinkMutex);
    captures().push_back(state_);
}

LogCapture::~LogCapture() {
    {
        std::lock_guard lock(gSinkMutex);
        auto& list = captures();
        std::erase(list, state_);
    }
    delete state_;
}

std::vector<LogLine> LogCapture::lines() const {
    std::lock_guard lock(state_->mutex);
    return state_->lines;
}

std::vector<std::string> LogCapture::messages(const std::string& category) const {
    std::lock_guard lock(state_->mutex);
    std::vector<std::string> out;
    for (const auto& l : state_->lines)
        if (category.empty() || l.category == category) out.push_back(l.message);
    return out;
}

bool LogCapture::contains(const std::string& message) const {
    std::lock_guard lock(state_->mutex);
    for (const auto& l : state_->lines)
        if (l.message == message) return true;
    return false;
}

void LogCapture::clear() {
    std::lock_guard lock(state_->mutex);
    state_->lines.clear();
}
