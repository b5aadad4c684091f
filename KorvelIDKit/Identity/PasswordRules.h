#pragma once
// The master password's length rule, the same for onboarding, the change-password sheet and the
// command line.
#include <algorithm>
#include <chrono>
#include <string_view>

namespace PasswordRules {

inline constexpr int minimumLength = 6;

// Characters as a person counts them (grapheme clusters of the UTF-8 text), not bytes or code
// points: "é" typed as e + combining accent is one, and so is a flag.
int perceivedLength(std::string_view utf8);

inline bool isLongEnough(std::string_view utf8) { return perceivedLength(utf8) >= minimumLength; }

// A control character (below U+0020, or DEL) in a new password: it could not be typed again in the
// password fields, and a NUL would cut it short in any C string on the way.
inline bool hasControlCharacters(std::string_view utf8) {
    for (const char c : utf8)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return true;
    return false;
}

// How long a password prompt waits before it takes another try after `failures` wrong passwords in
// a row: nothing for the first two (a typo), then 1 s, doubling up to 30 s, so that guessing at an
// unlocked session gets slow while the owner's slip costs nothing.
inline std::chrono::milliseconds retryDelay(int failures) {
    if (failures < 3) return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(std::min(1000LL << std::min(failures - 3, 5), 30'000LL));
}

}  // namespace PasswordRules
