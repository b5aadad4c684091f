#pragma once
// One protected application: its ID (a desktop-entry ID without ".desktop"), display name and grace.
#include <cstdint>
#include <string>

struct ProtectedApp {
    std::string bundleIdentifier;  // the record's identity; compared exactly, case-sensitive
    std::string name;
    // 0: every time; n > 0: n seconds from the unlock; negative: until the application quits.
    std::int64_t graceSeconds = 0;

    const std::string& id() const { return bundleIdentifier; }
    friend bool operator==(const ProtectedApp&, const ProtectedApp&) = default;
};
