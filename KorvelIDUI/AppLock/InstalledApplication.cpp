#include "AppLock/InstalledApplication.h"

#include "Platform/DesktopEntries.h"

std::vector<InstalledApplication> installedApplications() {
    std::vector<InstalledApplication> result;
    for (const auto& entry : DesktopEntries::scan().applications()) result.push_back({entry.id, entry.name, entry.icon});
    return result;
}
