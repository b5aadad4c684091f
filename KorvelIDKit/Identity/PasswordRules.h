#pragma once
// The master password's length rule, the same for onboarding, the change-password sheet and the
// command line.
#include <string_view>

namespace PasswordRules {

inline constexpr int minimumLength = 6;

// Characters as a person counts them (grapheme clusters of the UTF-8 text), not bytes or code
// points: "é" typed as e + combining accent is one, and so is a flag.
int perceivedLength(std::string_view utf8);

inline bool isLongEnough(std::string_view utf8) { return perceivedLength(utf8) >= minimumLength; }

}  // namespace PasswordRules
