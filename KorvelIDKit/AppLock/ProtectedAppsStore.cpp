#include "ProtectedAppsStore.h"

#include <algorithm>

#include "Support/AppPaths.h"
#include "Support/Json.h"
#include "Support/Logger.h"

namespace {
bool isValidUtf8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();  // the strict serializer refuses broken sequences
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

std::vector<ProtectedApp> decodeOrThrow(std::span<const std::uint8_t> data) {
    const nlohmann::json doc = Json::parse(data);
    Json::requireArray(doc, "protected applications");
    std::vector<ProtectedApp> apps;
    apps.reserve(doc.size());
    for (const auto& entry : doc) {
        Json::requireObject(entry, "protected application");
        apps.push_back({Json::toString(Json::member(entry, "bundleIdentifier"), "bundleIdentifier"),
                        Json::toString(Json::member(entry, "name"), "name"),
                        Json::toInt(Json::member(entry, "graceSeconds"), "graceSeconds")});
    }
    return apps;
}
}  // namespace

ProtectedAppsStore::ProtectedAppsStore(std::optional<std::filesystem::path> fileURL, FileWriter& writer)
    : fileURL_(fileURL ? std::move(*fileURL) : AppPaths::supportDirectory() / fileName), writer_(writer) {
    std::lock_guard lock(queue_);
    load();
}

std::optional<std::string> ProtectedAppsStore::encode(const std::vector<ProtectedApp>& apps) {
    JsonWriter w;
    w.beginArray();
    for (const auto& app : apps) {
        if (!isValidUtf8(app.bundleIdentifier) || !isValidUtf8(app.name)) return std::nullopt;
        w.beginObject();
        w.key("bundleIdentifier").string(app.bundleIdentifier);
        w.key("name").string(app.name);
        w.key("graceSeconds").integer(app.graceSeconds);
        w.endObject();
    }
    w.endArray();
    return w.take();
}

std::optional<std::vector<ProtectedApp>> ProtectedAppsStore::decode(std::span<const std::uint8_t> data) {
    try {
        return decodeOrThrow(data);
    } catch (const JsonError&) {
        return std::nullopt;
    }
}

void ProtectedAppsStore::load() {
    const ReadResult read = readWholeFile(fileURL_);
    if (read.status == ReadResult::Status::missing) {
        apps_.clear();
        return;
    }
    std::string why;
    if (!read.ok()) {
        why = read.error;
    } else {
        try {
            apps_ = decodeOrThrow(read.data);
            return;
        } catch (const JsonError& e) {
            why = e.what();
        }
    }
    loadFailed_ = true;
    Log::store().error(strprintf("ProtectedAppsStore: could not read %s — keeping protection state, not overwriting. %s",
                                 fileURL_.filename().c_str(), why.c_str()));
}

void ProtectedAppsStore::save() {
    {
        std::lock_guard lock(queue_);
        saved_ = false;
        if (!loadFailed_) {
            if (const auto bytes = encode(apps_)) {
                try {
                    writer_.writeAtomically(fileURL_, std::span(reinterpret_cast<const std::uint8_t*>(bytes->data()),
                                                                bytes->size()));
                    saved_ = true;
                } catch (const FileError&) {
                    // The change stays in memory and is acted on; the next save tries again.
                }
            }
        }
    }
    if (onChange) onChange();
}

std::set<std::string> ProtectedAppsStore::bundleIdentifiers() const {
    std::set<std::string> ids;
    for (const auto& app : apps_) ids.insert(app.bundleIdentifier);
    return ids;
}

bool ProtectedAppsStore::isProtected(const std::string& bundleID) const { return app(bundleID).has_value(); }

std::optional<ProtectedApp> ProtectedAppsStore::app(const std::string& bundleID) const {
    const auto it = std::find_if(apps_.begin(), apps_.end(), [&](const auto& a) { return a.bundleIdentifier == bundleID; });
    if (it == apps_.end()) return std::nullopt;
    return *it;
}

void ProtectedAppsStore::add(const ProtectedApp& app) {
    if (isOwnApplicationID(app.bundleIdentifier) || isProtected(app.bundleIdentifier)) return;
    apps_.push_back(app);
    save();
}

void ProtectedAppsStore::remove(const std::string& bundleID) {
    std::erase_if(apps_, [&](const auto& a) { return a.bundleIdentifier == bundleID; });
    save();
}

void ProtectedAppsStore::setGrace(std::int64_t seconds, const std::string& bundleID) {
    const auto it = std::find_if(apps_.begin(), apps_.end(), [&](const auto& a) { return a.bundleIdentifier == bundleID; });
    if (it == apps_.end()) return;
    it->graceSeconds = seconds;
    save();
}
