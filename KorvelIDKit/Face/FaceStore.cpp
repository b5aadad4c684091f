#include "FaceStore.h"

#include "Support/Json.h"
#include "Support/Logger.h"

namespace FaceProfiles {

std::string encode(const std::vector<FaceProfile>& profiles) {
    JsonWriter w;
    w.beginArray();
    for (const auto& p : profiles) {
        w.beginObject();
        w.key("id").uuid(p.id);
        w.key("name").string(p.name);
        w.key("embeddings").beginArray();
        for (const auto& e : p.embeddings) {
            w.beginObject().key("vector").beginArray();
            for (const float f : e.vector) w.number(f);
            w.endArray().endObject();
        }
        w.endArray();
        w.key("createdAt").date(p.createdAt);
        if (!p.engine.empty()) w.key("engine").string(p.engine);
        w.endObject();
    }
    w.endArray();
    return w.take();
}

std::vector<FaceProfile> decode(std::string_view json) {
    const auto doc = Json::parse(json);
    const auto& array = Json::requireArray(doc, "profiles");
    std::vector<FaceProfile> out;
    out.reserve(array.size());
    for (const auto& item : array) {
        const auto& obj = Json::requireObject(item, "profile");
        FaceProfile p;
        p.id = Json::toUuid(Json::member(obj, "id"), "id");
        p.name = Json::toString(Json::member(obj, "name"), "name");
        const auto& embeddings = Json::requireArray(Json::member(obj, "embeddings"), "embeddings");
        p.embeddings.reserve(embeddings.size());
        for (const auto& e : embeddings) {
            const auto& vec = Json::requireArray(Json::member(Json::requireObject(e, "embedding"), "vector"), "vector");
            FaceEmbedding fe;
            fe.vector.reserve(vec.size());
            for (const auto& x : vec) fe.vector.push_back(Json::toFloat(x, "vector"));
            p.embeddings.push_back(std::move(fe));
        }
        p.createdAt = Json::toDouble(Json::member(obj, "createdAt"), "createdAt");
        if (const auto* engine = Json::optionalMember(obj, "engine")) p.engine = Json::toString(*engine, "engine");
        out.push_back(std::move(p));
    }
    return out;
}
}  // namespace FaceProfiles

FaceStore::FaceStore(std::filesystem::path fileURL, FileWriter& writer)
    : fileURL_(std::move(fileURL)), writer_(writer) {
    load();
}

void FaceStore::load() {
    std::lock_guard queue(queue_);
    const auto r = readWholeFile(fileURL_);
    damaged_ = r.status != ReadResult::Status::missing;
    if (!r.ok()) {
        if (damaged_) Log::store().error(strprintf("Profile load error: %s", r.error.c_str()));
        clear();
        return;
    }
    std::vector<FaceProfile> loaded;
    try {
        loaded = FaceProfiles::decode(std::string_view(reinterpret_cast<const char*>(r.data.data()), r.data.size()));
    } catch (const std::exception& e) {
        Log::store().error(strprintf("Profile load error: %s", e.what()));
        clear();
        return;
    }
    damaged_ = false;
    const auto count = long(loaded.size());
    {
        std::lock_guard lock(profiles_);
        profiles = std::move(loaded);
    }
    Log::store().info(strprintf("%ld profile(s) loaded.", count));
}

std::vector<FaceProfile> FaceStore::snapshot() const {
    std::lock_guard lock(profiles_);
    return profiles;
}

bool FaceStore::empty() const {
    std::lock_guard lock(profiles_);
    return profiles.empty();
}

void FaceStore::add(FaceProfile profile) {
    std::lock_guard lock(profiles_);
    profiles.push_back(std::move(profile));
}

void FaceStore::clear() {
    std::lock_guard lock(profiles_);
    profiles.clear();
}

bool FaceStore::save() {
    std::lock_guard queue(queue_);
    const auto snapshot = this->snapshot();
    if (damaged_ && !snapshot.empty()) {
        Log::store().error("Profile save refused: the enrolled faces' file is damaged and would be lost.");
        return false;
    }
    try {
        const auto json = FaceProfiles::encode(snapshot);
        // A file the reader would refuse as too large would lose every face at the next start.
        if (json.size() > ReadOptions::jsonSizeLimit) throw FileError("too many faces are enrolled to store them");
        writer_.writeAtomically(fileURL_, std::span(reinterpret_cast<const std::uint8_t*>(json.data()), json.size()));
    } catch (const std::exception& e) {
        Log::store().error(strprintf("Profile save error: %s", e.what()));
        return false;
    }
    damaged_ = false;
    Log::store().info(strprintf("%ld profile(s) saved.", long(snapshot.size())));
    return true;
}
