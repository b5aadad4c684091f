#pragma once
// Installed applications as the desktop knows them: the XDG desktop entries ("*.desktop" files in
// the "applications" folder of each XDG data directory). An application's ID is its desktop-entry
// ID without ".desktop" ("firefox-esr", "org.gnome.Nautilus"). Also answers which application a
// window belongs to, from what the window system tells about the window.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct DesktopEntry {
    std::string id;
    std::string name;   // in the user's language when the entry has it
    std::string icon;   // an icon-theme name or an absolute path; may be empty
    std::string exec;   // the command line as written
    std::filesystem::path program;  // Exec's program, found through PATH with links resolved; empty if not found
    std::string startupWMClass;
    bool noDisplay = false;  // installed, but not meant to be listed in menus
    std::filesystem::path file;
};

// What the window system knows about one top-level window.
struct WindowIdentity {
    std::string gtkApplicationID;  // _GTK_APPLICATION_ID
    std::string wmInstance;        // WM_CLASS, first part
    std::string wmClass;           // WM_CLASS, second part
    std::filesystem::path executable;  // /proc/PID/exe of the owning process
};

class DesktopEntries {
public:
    // $XDG_DATA_HOME/applications, then <dir>/applications for each of $XDG_DATA_DIRS (default
    // /usr/local/share:/usr/share). An entry in an earlier folder hides one of the same ID later.
    static std::vector<std::filesystem::path> applicationDirectories();

    // Reads every entry of the folders. `locale` picks translated names ("de_DE.UTF-8"); empty:
    // the environment's (LC_ALL, LC_MESSAGES, LANG).
    static DesktopEntries scan(const std::vector<std::filesystem::path>& directories = applicationDirectories(),
                               std::string locale = {});
    // One entry's text; none when it describes no installed application (no [Desktop Entry]
    // group, Type other than Application, Hidden=true, or no Name).
    static std::optional<DesktopEntry> parse(std::string_view text, std::string id, std::string_view locale);
    // "kde4/okular.desktop" -> "kde4-okular"; none for a file that is not a desktop entry.
    static std::optional<std::string> idForRelativePath(const std::filesystem::path& relative);

    // Every application entry: earlier folders first, then by ID.
    const std::vector<DesktopEntry>& entries() const { return entries_; }
    // The entries meant for people to choose from (NoDisplay left out), by name.
    std::vector<DesktopEntry> applications() const;
    const DesktopEntry* find(std::string_view id) const;

    // The application a window belongs to, trying in turn: its GTK application ID naming an entry;
    // WM_CLASS (class or instance) equal to an entry's StartupWMClass, then to an entry's ID
    // (ignoring case); the owning program equal to an entry's Exec program. A window no entry
    // claims is named by its GTK application ID, else its WM_CLASS class, else its instance, else
    // its program's file name, so that leaving for it still counts as leaving the application
    // before. None when the window tells nothing at all.
    std::optional<std::string> applicationIDFor(const WindowIdentity& window) const;

    // Changes whenever a folder's listing changes (its modification time).
    static std::int64_t directoriesStamp(const std::vector<std::filesystem::path>& directories);
    // Reads the folders again when their stamp moved on from `stamp` (which it then updates), so
    // an application installed meanwhile is known; whether it did.
    bool rescanIfChanged(const std::vector<std::filesystem::path>& directories, std::int64_t& stamp);
    // The program file process `pid` runs (for WindowIdentity::executable); empty when unreadable.
    static std::filesystem::path executableOf(std::int64_t pid);

private:
    std::vector<DesktopEntry> entries_;
};
