#pragma once
// An application the user can choose to protect: an installed desktop entry.
#include <functional>
#include <string>
#include <vector>

struct InstalledApplication {
    std::string id;    // the desktop-entry ID without ".desktop"
    std::string name;  // Name=
    std::string icon;  // Icon=: a theme name or an absolute path; may be empty
    friend bool operator==(const InstalledApplication&, const InstalledApplication&) = default;
};

using InstalledApplicationsProvider = std::function<std::vector<InstalledApplication>()>;

// The desktop's applications (desktop entries not marked NoDisplay), by name.
std::vector<InstalledApplication> installedApplications();
