#include "Face/FaceAttemptLimit.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "Support/AppPaths.h"
#include "Support/Json.h"
#include "Support/Logger.h"

namespace {
std::mutex& recordMutex() {
    static std::mutex m;
    return m;
}
struct FolderSetting {
    std::mutex mutex;
    std::filesystem::path folder;
};
FolderSetting& folderSetting() {
    static FolderSetting s;
    return s;
}
constexpr std::uint64_t recordSizeLimit = 4096;  // the record is a few bytes
// Counts this process could not save, by record (guarded by recordMutex): a record that cannot be
// written (a full disk, a read-only home) must not make every failed scan the first again.
std::map<std::filesystem::path, int>& unsaved() {
    static std::map<std::filesystem::path, int> counts;
    return counts;
}
}  // namespace

FaceAttemptLimit::FaceAttemptLimit(std::filesystem::path folder, FileWriter& writer)
    : file_(std::move(folder) / fileName), writer_(writer) {}

int FaceAttemptLimit::failures() const {
    std::lock_guard lock(recordMutex());
    return read();
}

int FaceAttemptLimit::read() const {
    const auto kept = unsaved().find(file_);
    const int floor = kept == unsaved().end() ? 0 : kept->second;
    const ReadResult r = readWholeFile(file_, {.maxBytes = recordSizeLimit});
    if (r.status == ReadResult::Status::missing) return floor;
    try {
        if (!r.ok()) throw JsonError(r.error.empty() ? "too large" : r.error);
        const auto doc = Json::parse(r.data);
        const std::int64_t n = Json::toInt(Json::member(Json::requireObject(doc, "record"), "failures"), "failures");
        if (n < 0) throw JsonError("negative count");
        return std::max(floor, static_cast<int>(std::min<std::int64_t>(n, maxFailures)));
    } catch (const std::exception& e) {
        Log::auth().error(strprintf("Face attempt record unreadable (%s): face unlock waits for the password.", e.what()));
        return maxFailures;
    }
}

void FaceAttemptLimit::write(int failures) const {
    JsonWriter w;
    w.beginObject().key("failures").integer(failures).endObject();
    const std::string json = w.take();
    try {
        writer_.writeAtomically(file_, std::span(reinterpret_cast<const std::uint8_t*>(json.data()), json.size()));
        unsaved().erase(file_);
    } catch (const std::exception& e) {
        Log::auth().error(strprintf("Face attempt record not saved: %s", e.what()));
        unsaved()[file_] = failures;
    }
}

// Each change reads and writes under one lock: a password accepted while a scan ends must not be
// overwritten by the scan's older count.
void FaceAttemptLimit::recordFailure() {
    std::lock_guard lock(recordMutex());
    const int n = read();
    write(std::min(n + 1, maxFailures));
    if (n + 1 == maxFailures)
        Log::auth().info(strprintf("%d failed face scans in a row: face unlock waits for the password.", maxFailures));
}

void FaceAttemptLimit::recordSuccess() {
    // A locked-out engine never approves; an unreadable record stays until the password rewrites it.
    std::lock_guard lock(recordMutex());
    const int n = read();
    if (n == 0 || n >= maxFailures) return;
    write(0);
}

void FaceAttemptLimit::passwordAccepted() {
    std::lock_guard lock(recordMutex());
    if (read() == 0) return;
    write(0);
}

void FaceAttemptLimit::setDataFolder(std::filesystem::path folder) {
    auto& s = folderSetting();
    std::lock_guard lock(s.mutex);
    s.folder = std::move(folder);
}

std::filesystem::path FaceAttemptLimit::dataFolder() {
    auto& s = folderSetting();
    {
        std::lock_guard lock(s.mutex);
        if (!s.folder.empty()) return s.folder;
    }
    return AppPaths::supportDirectory();
}
