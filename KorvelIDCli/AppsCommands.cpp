// apps: the protected applications (filled in with the protected-apps store).
#include "AppsSummary.h"
#include "Commands.h"

namespace Cli {

nlohmann::ordered_json protectedAppsJson() { return nlohmann::ordered_json::array(); }

std::vector<Command> appsCommands() { return {}; }

}  // namespace Cli
