#pragma once
// The command groups; each file defines one.
#include <vector>

#include "CommandLine.h"

namespace Cli {
std::vector<Command> statusCommands();
std::vector<Command> facesCommands();
std::vector<Command> passwordCommands();
std::vector<Command> vaultCommands();
std::vector<Command> appsCommands();
std::vector<Command> settingsCommands();
std::vector<Command> systemCommands();
}  // namespace Cli
