#include "Commands.h"

namespace Cli {

const std::vector<Command>& commands() {
    static const std::vector<Command> all = [] {
        std::vector<Command> out;
        for (auto group : {statusCommands, facesCommands, passwordCommands, vaultCommands, appsCommands, settingsCommands,
                           systemCommands})
            for (auto& c : group()) out.push_back(std::move(c));
        return out;
    }();
    return all;
}

}  // namespace Cli
