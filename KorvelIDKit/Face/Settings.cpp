#include "Settings.h"

#include "Support/AppPaths.h"
#include "Support/FileIO.h"
#include "Support/Json.h"

std::filesystem::path Settings::defaultFile() { return AppPaths::supportDirectory() / fileName; }

std::string Settings::encode() const {
    JsonWriter w;
    w.beginObject();
    if (matchThreshold) w.key("matchThreshold").number(*matchThreshold);
    w.key("minQuality").number(minQuality);
    w.key("requiredConsecutiveMatches").integer(requiredConsecutiveMatches);
    w.key("scanTimeout").number(scanTimeout);
    w.key("enrollmentSampleCount").integer(enrollmentSampleCount);
    if (requireLiveness) w.key("requireLiveness").boolean(*requireLiveness);
    w.endObject();
    return w.take();
}

Settings Settings::decode(std::string_view json) {
    const auto doc = Json::parse(json);
    const auto& obj = Json::requireObject(doc, "settings");
    Settings s;
    s.matchThreshold.reset();
    s.requireLiveness.reset();
    if (const auto* v = Json::optionalMember(obj, "matchThreshold")) s.matchThreshold = Json::toFloat(*v, "matchThreshold");
    s.minQuality = Json::toFloat(Json::member(obj, "minQuality"), "minQuality");
    s.requiredConsecutiveMatches =
        Json::toInt(Json::member(obj, "requiredConsecutiveMatches"), "requiredConsecutiveMatches");
    s.scanTimeout = Json::toDouble(Json::member(obj, "scanTimeout"), "scanTimeout");
    s.enrollmentSampleCount = Json::toInt(Json::member(obj, "enrollmentSampleCount"), "enrollmentSampleCount");
    if (const auto* v = Json::optionalMember(obj, "requireLiveness")) s.requireLiveness = Json::toBool(*v, "requireLiveness");
    return s;
}

Settings Settings::load() { return load(defaultFile()); }

Settings Settings::load(const std::filesystem::path& file, bool* damaged) {
    const auto r = readWholeFile(file);
    if (damaged) *damaged = r.status != ReadResult::Status::missing;
    if (!r.ok()) return {};
    try {
        auto settings = decode(std::string_view(reinterpret_cast<const char*>(r.data.data()), r.data.size()));
        if (damaged) *damaged = false;
        return settings;
    } catch (const std::exception&) {
        return {};
    }
}

bool Settings::save() const { return save(defaultFile()); }

bool Settings::save(const std::filesystem::path& file) const {
    try {
        writeFileAtomically(file, encode());
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

Settings::Change Settings::change(const std::filesystem::path& file, const std::function<void(Settings&)>& apply,
                                  std::string* error) {
    bool damaged = false;
    Settings settings = load(file, &damaged);
    if (damaged) return Change::damaged;
    apply(settings);
    try {
        writeFileAtomically(file, settings.encode());
        return Change::saved;
    } catch (const std::exception& e) {
        if (error) *error = e.what();
        return Change::notWritten;
    }
}
