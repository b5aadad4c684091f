#pragma once
// The protected applications as status shows them.
#include <nlohmann/json.hpp>

namespace Cli {
// [{"id", "name", "grace"}], grace as "every time", "until quit" or "N s"; null when the list
// cannot be read (which protects as much as it may hold, not nothing).
nlohmann::ordered_json protectedAppsJson();
}  // namespace Cli
