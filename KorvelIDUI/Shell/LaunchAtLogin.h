#pragma once
// Starting the program when the user logs in: an XDG autostart entry
// "$XDG_CONFIG_HOME/autostart/com.korvel.id.desktop".
#include <filesystem>
#include <string>

namespace LaunchAtLogin {
inline constexpr const char* entryName = "com.korvel.id.desktop";
// On the entry's command line: started at login, the program stays in the tray when there is one
// instead of opening its window.
inline constexpr const char* trayOption = "--tray";

std::filesystem::path entryPath();
// The entry exists and is not hidden.
bool isEnabled();
// Writes or removes the entry. A failure is logged ("Korvel ID: launch-at-login toggle failed: …")
// and otherwise ignored: the caller's switch keeps what the user chose.
void set(bool enabled);
// The command the entry starts: this program.
std::string execLine();
}  // namespace LaunchAtLogin
