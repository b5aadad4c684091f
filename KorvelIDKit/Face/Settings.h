#pragma once
// The tuning record of scans and enrolments and its file "settings.json".
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

struct Settings {
    std::optional<float> matchThreshold;  // absent: scans use 0.30
    float minQuality = 0.35f;
    std::int64_t requiredConsecutiveMatches = 2;
    double scanTimeout = 8.0;
    std::int64_t enrollmentSampleCount = 8;
    std::optional<bool> requireLiveness = true;  // absent is treated as true everywhere

    static constexpr const char* fileName = "settings.json";
    static constexpr float fallbackThreshold = 0.30f;

    float effectiveThreshold() const { return matchThreshold.value_or(fallbackThreshold); }
    bool livenessRequired() const { return requireLiveness.value_or(true); }

    // The whole record decodes or nothing does: any failure gives the default record, silently.
    static Settings load();
    // `damaged`: the file is present but unreadable or undecodable, so what the user wrote there is
    // not in force, and a writer must not replace it with the defaults.
    static Settings load(const std::filesystem::path& file, bool* damaged = nullptr);
    // Whether the file was written; callers that only tune may ignore it.
    bool save() const;
    bool save(const std::filesystem::path& file) const;

    // Applies `apply` to the record in `file` (the defaults when there is none) and saves it, so
    // every value it leaves alone is kept. A damaged file is refused before `apply` runs: saving
    // over it would put the defaults in place of what the user wrote. `error` gets why writing
    // failed; what `apply` throws passes through with nothing written.
    enum class Change { saved, damaged, notWritten };
    static Change change(const std::filesystem::path& file, const std::function<void(Settings&)>& apply,
                         std::string* error = nullptr);

    // The exact file form (compact, keys in field order, absent optionals left out).
    std::string encode() const;
    // Throws JsonError when a required key is missing or a value has the wrong type.
    static Settings decode(std::string_view json);

    static std::filesystem::path defaultFile();
    friend bool operator==(const Settings&, const Settings&) = default;
};
