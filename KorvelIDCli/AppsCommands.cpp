// apps list | available | protect | unprotect: the protected applications by their desktop-entry IDs.
#include <iostream>

#include "AppLock/ProtectedAppsStore.h"
#include "AppsSummary.h"
#include "Commands.h"
#include "Platform/DesktopEntries.h"
#include "Session.h"

namespace Cli {
namespace {

std::string graceText(std::int64_t seconds) {
    if (seconds < 0) return "until quit";
    if (seconds == 0) return "every time";
    return std::to_string(seconds) + " s";
}

ProtectedAppsStore openStore() { return ProtectedAppsStore(dataFolder() / ProtectedAppsStore::fileName); }

// "until-quit" → -1, "always" → 0 (every time), else whole seconds.
std::int64_t parseGrace(const std::string& text) {
    if (text == "until-quit") return -1;
    if (text == "always") return 0;
    std::size_t used = 0;
    long long v = -1;
    try {
        v = std::stoll(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || v < 0 || v > 7 * 24 * 3600)
        throw UsageError("--grace takes seconds (0 to 604800), until-quit or always");
    return v;
}

int list(const Arguments&) {
    const auto store = openStore();
    if (store.loadFailed()) throw Failure("The list of protected apps cannot be read; it is left as it is.");
    if (store.apps().empty()) std::cout << "No app is protected.\n";
    for (const auto& app : store.apps())
        std::cout << printable(app.bundleIdentifier) << "\t" << printable(app.name) << "\t" << graceText(app.graceSeconds) << "\n";
    return Exit::ok;
}

int available(const Arguments&) {
    for (const auto& entry : DesktopEntries::scan().applications())
        if (!isOwnApplicationID(entry.id)) std::cout << printable(entry.id) << "\t" << printable(entry.name) << "\n";
    return Exit::ok;
}

int protect(const Arguments& a) {
    const std::string& id = a.positional[0];
    if (isOwnApplicationID(id)) throw Failure("Korvel ID does not protect itself.");
    const auto grace = a.value("--grace");
    const std::int64_t seconds = grace ? parseGrace(*grace) : -1;  // as the settings page adds
    const auto entries = DesktopEntries::scan();
    const DesktopEntry* entry = entries.find(id);
    if (!entry) throw Failure("No installed application has the ID \"" + id + "\" (see \"korvel-id-cli apps available\").");
    const auto lock = lockDataFolder();
    auto store = openStore();
    if (store.loadFailed()) throw Failure("The list of protected apps cannot be read; it is left as it is.");
    if (store.isProtected(id)) {
        if (!grace || store.app(id)->graceSeconds == seconds) {
            std::cout << printable(entry->name) << " is protected already.\n";
            return Exit::ok;
        }
        confirmChange(a, CredentialGate::Change::changeGrace);
        store.setGrace(seconds, id);
    } else {
        store.add({id, entry->name, seconds});
    }
    const auto saved = openStore();
    const auto kept = saved.app(id);
    if (!kept || kept->graceSeconds != seconds) throw Failure("Could not save the list of protected apps.");
    std::cout << "Protected " << printable(entry->name) << " (" << graceText(seconds) << ").\n";
    return Exit::ok;
}

int unprotect(const Arguments& a) {
    const std::string& id = a.positional[0];
    const auto lock = lockDataFolder();
    auto store = openStore();
    if (store.loadFailed()) throw Failure("The list of protected apps cannot be read; it is left as it is.");
    if (!store.isProtected(id)) throw Failure("\"" + id + "\" is not protected.");
    confirmChange(a, CredentialGate::Change::unprotectApp);
    store.remove(id);
    if (openStore().isProtected(id)) throw Failure("Could not save the list of protected apps.");
    std::cout << "No longer protected: " << id << "\n";
    return Exit::ok;
}

}  // namespace

nlohmann::ordered_json protectedAppsJson() {
    auto out = nlohmann::ordered_json::array();
    const auto store = openStore();
    if (store.loadFailed()) return nullptr;
    for (const auto& app : store.apps())
        out.push_back({{"id", app.bundleIdentifier}, {"name", app.name}, {"graceSeconds", app.graceSeconds},
                       {"grace", graceText(app.graceSeconds)}});
    return out;
}

std::vector<Command> appsCommands() {
    return {
        {{"apps", "list"}, "", "List the protected applications with their grace.", "", {}, {}, 0, 0, list},
        {{"apps", "available"}, "", "List the installed applications (desktop-entry ID and name).", "", {}, {}, 0, 0, available},
        {{"apps", "protect"}, "APP-ID [--grace SECONDS|until-quit|always] [--password-stdin]",
         "Protect an application; without --grace it stays unlocked until it quits.",
         "  --grace SECONDS   an unlock lasts this many seconds\n"
         "  --grace until-quit  an unlock lasts until the application quits (the default)\n"
         "  --grace always    ask every time it comes to the front\n"
         "Changing the grace of a protected application asks for the master password.\n" +
             std::string(passwordHelp),
         {"--password-stdin"}, {"--grace"}, 1, 1, protect},
        {{"apps", "unprotect"}, "APP-ID [--password-stdin]", "Stop protecting an application.", passwordHelp,
         {"--password-stdin"}, {}, 1, 1, unprotect},
    };
}

}  // namespace Cli
