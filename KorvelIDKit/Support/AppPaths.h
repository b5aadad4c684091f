#pragma once
// The per-user data directory: $XDG_DATA_HOME (default ~/.local/share) / "KorvelID" / application ID.
#include <filesystem>
#include <optional>
#include <string>

namespace AppPaths {
inline constexpr const char* unbundledIdentifier = "com.korvel.id.unbundled";

// The running program's application ID ("com.korvel.id" for the application). A program that
// never sets one keeps its data under "com.korvel.id.unbundled".
void setApplicationIdentifier(std::optional<std::string> identifier);
std::string applicationIdentifier();

// The XDG data home of this user; falls back to ~/.local/share, then to the password database's
// home when HOME is unset.
std::filesystem::path dataHome();

// Ensures the directory exists on every call.
std::filesystem::path supportDirectory();

// Creates the directory and its missing parents (owner-only: the folder holds biometric data and
// key material). A failure is swallowed; the caller meets it when it touches a file.
void ensureDirectory(const std::filesystem::path& dir);
}  // namespace AppPaths
