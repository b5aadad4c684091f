#pragma once
// One protected application: its ID (a desktop-entry ID without ".desktop"), display name and grace.
#include <cstdint>
#include <string>
#include <string_view>

struct ProtectedApp {
    std::string bundleIdentifier;  // the record's identity; compared exactly, case-sensitive
    std::string name;
    // 0: every time; n > 0: n seconds from the unlock; negative: until the application quits.
    std::int64_t graceSeconds = 0;

    const std::string& id() const { return bundleIdentifier; }
    friend bool operator==(const ProtectedApp&, const ProtectedApp&) = default;
};

// Korvel ID's own IDs ("com.korvel.id", its unbundled build, the preview curtain's made-up
// "com.korvel.id.test") are never protected: a curtain over this program would lock the user out
// of its own settings, and a made-up ID must not reach a real curtain through the protected list.
inline bool isOwnApplicationID(std::string_view id) {
    constexpr std::string_view own = "com.korvel.id";
    return id == own || (id.size() > own.size() && id.substr(0, own.size()) == own && id[own.size()] == '.');
}
