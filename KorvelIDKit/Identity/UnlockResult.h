#pragma once
// What every caller of face unlock receives.
#include <string>

struct UnlockResult {
    enum class Kind { approved, denied, cameraUnavailable, notEnrolled };
    Kind kind = Kind::notEnrolled;
    std::string name;    // approved: the matching profile
    std::string reason;  // denied: a short English reason ("Busy", "Cancelled", "Face not recognized")

    // The denial while face unlock waits for the master password (too many failed scans in a row).
    static constexpr const char* useYourPasswordReason = "Use your password";
    bool faceLocked() const { return kind == Kind::denied && reason == useYourPasswordReason; }

    static UnlockResult approved(std::string name) { return {Kind::approved, std::move(name), {}}; }
    static UnlockResult denied(std::string reason) { return {Kind::denied, {}, std::move(reason)}; }
    static UnlockResult cameraUnavailable() { return {Kind::cameraUnavailable, {}, {}}; }
    static UnlockResult notEnrolled() { return {}; }
    friend bool operator==(const UnlockResult&, const UnlockResult&) = default;
};
