#pragma once
// The protected applications and their file "protected-apps.json": a compact JSON array of
// {"bundleIdentifier","name","graceSeconds"} objects in list order.
//
// Safety rule: once an existing file could not be read, this process never writes it again, so a
// damaged list is never replaced by a shorter one (which would silently drop protection). Changes
// made in that state live in memory only.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "AppLock/ProtectedApp.h"
#include "Support/FileIO.h"

class ProtectedAppsStore {
public:
    static constexpr const char* fileName = "protected-apps.json";
    static constexpr const char* queueLabel = "com.korvel.id.protectedapps";

    // Loads before returning. Without a location the file lives in the support directory.
    explicit ProtectedAppsStore(std::optional<std::filesystem::path> fileURL = std::nullopt,
                                FileWriter& writer = FileWriter::system());

    // The file's exact bytes for a list; none when a text is not valid UTF-8 (such a file would be
    // refused by our own reader).
    static std::optional<std::string> encode(const std::vector<ProtectedApp>& apps);
    // The list a file holds; none when the top level is not an array or any entry lacks a member
    // or has one of the wrong type.
    static std::optional<std::vector<ProtectedApp>> decode(std::span<const std::uint8_t> data);

    const std::vector<ProtectedApp>& apps() const { return apps_; }
    std::set<std::string> bundleIdentifiers() const;
    bool isProtected(const std::string& bundleID) const;
    // The first entry with that ID.
    std::optional<ProtectedApp> app(const std::string& bundleID) const;

    // Appends and saves, unless the ID is listed already (then nothing happens at all).
    // Korvel ID's own IDs are refused (isOwnApplicationID).
    void add(const ProtectedApp& app);
    // Removes every entry with the ID and saves, also when none matched.
    void remove(const std::string& bundleID);
    // Changes the first matching entry and saves; nothing when the ID is not listed.
    void setGrace(std::int64_t seconds, const std::string& bundleID);

    // Called on the caller's thread after every save, also when nothing could be written.
    std::function<void()> onChange;

    const std::filesystem::path& fileURL() const { return fileURL_; }
    bool loadFailed() const { return loadFailed_; }
    // Whether the list in memory is the file's: not after a file that could not be read, nor after
    // a change that could not be written (it then lasts only until the program quits).
    bool isSaved() const { return !loadFailed_ && saved_; }

private:
    void load();
    void save();

    std::filesystem::path fileURL_;
    FileWriter& writer_;
    std::vector<ProtectedApp> apps_;
    bool loadFailed_ = false;
    bool saved_ = true;
    std::mutex queue_;  // serialises file access
};
