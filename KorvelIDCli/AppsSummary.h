#pragma once
// The protected applications as status shows them.
#include <nlohmann/json.hpp>

namespace Cli {
// [{"id", "name", "grace"}], grace as "every time", "until quit" or "N s".
nlohmann::ordered_json protectedAppsJson();
}  // namespace Cli
