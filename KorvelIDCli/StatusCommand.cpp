// status: what Korvel ID holds and uses, for a person or (with --json) a script.
#include <nlohmann/json.hpp>

#include <iostream>

#include "AppsSummary.h"
#include "Commands.h"
#include "Face/FaceStore.h"
#include "Face/Settings.h"
#include "Identity/MasterPassword.h"
#include "Platform/CameraDevices.h"
#include "Session.h"
#include "Support/Json.h"
#include "Vault/KorvelIDVault.h"

namespace Cli {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* fileStoreWarning =
    "No Secret Service answered, so secrets are kept in an owner-only file in the data folder; "
    "the vault's device key then lies beside the vault.";

Json gather() {
    Json s;
    s["dataFolder"] = dataFolder().string();
    const auto kind = openSecrets();
    s["secretStore"] = kind == SecretStore::Kind::secretService ? "keyring" : kind == SecretStore::Kind::file ? "file" : "none";
    if (kind != SecretStore::Kind::secretService) s["secretStoreWarning"] = fileStoreWarning;
    const auto password = MasterPassword::state();
    s["masterPasswordSet"] = password == MasterPassword::State::set;
    if (password == MasterPassword::State::unavailable) s["masterPasswordUnknown"] = "the keyring is locked or does not answer";

    FaceStore faces(dataFolder() / FaceStore::fileName);
    Json names = Json::array();
    for (const auto& p : faces.profiles) names.push_back(p.name);
    // A file that cannot be read is not "no face": say so, as the commands that change it do.
    s["enrolledFaces"] = faces.damaged() ? Json(nullptr) : names;

    const Settings settings = Settings::load();
    s["requireBlink"] = settings.livenessRequired();
    // The shortest text that reads back as the same float (0.3, not 0.30000001192092896).
    s["matchThreshold"] = std::stod(::Json::formatFloat(settings.effectiveThreshold()));
    s["protectedApps"] = protectedAppsJson();

    auto& vault = KorvelIDVault::store();
    s["vaultSetUp"] = vault.isInitialized();
    const VaultListing listing = vault.listing();
    s["vaultItems"] = listing.items.size();
    s["vaultIndexDamaged"] = listing.indexDamaged;
    s["vaultSharedBlobs"] = listing.sharedBlobs.size();

    const auto discovery = CameraDevices::discover();
    Json cameras = Json::array();
    for (const auto& d : discovery.devices) cameras.push_back({{"device", d.path.string()}, {"name", d.name}});
    s["cameras"] = cameras;
    if (discovery.devices.empty()) {
        try {
            CameraDevices::choose(discovery);
        } catch (const std::exception& e) {
            s["cameraProblem"] = e.what();
        }
    }
    return s;
}

std::string yesNo(bool b) { return b ? "yes" : "no"; }

void print(const Json& s) {
    std::cout << "Data folder:      " << s["dataFolder"].get<std::string>() << "\n"
              << "Secret store:     " << (s["secretStore"] == "keyring" ? "Secret Service (keyring)" : s["secretStore"] == "file" ? "file (fallback)" : "none") << "\n";
    if (s.contains("secretStoreWarning")) std::cout << "                  " << s["secretStoreWarning"].get<std::string>() << "\n";
    std::cout << "Master password:  "
              << (s.contains("masterPasswordUnknown") ? "unknown (" + s["masterPasswordUnknown"].get<std::string>() + ")"
                  : s["masterPasswordSet"].get<bool>() ? "set"
                                                       : "not set")
              << "\n";
    constexpr const char* unreadable = "the file cannot be read; it is left as it is";
    std::cout << "Enrolled faces:   ";
    if (s["enrolledFaces"].is_null()) std::cout << unreadable;
    else if (s["enrolledFaces"].empty()) std::cout << "none";
    for (std::size_t i = 0; i < s["enrolledFaces"].size(); ++i) std::cout << (i ? ", " : "") << printable(s["enrolledFaces"][i].get<std::string>());
    std::cout << "\nBlink required:   " << yesNo(s["requireBlink"].get<bool>()) << "\n"
              << "Match threshold:  " << ::Json::formatFloat(s["matchThreshold"].get<float>()) << "\n"
              << "Protected apps:   " << (s["protectedApps"].is_null() ? unreadable : s["protectedApps"].empty() ? "none" : "") << "\n";
    for (const auto& app : s["protectedApps"])
        std::cout << "  " << printable(app["id"].get<std::string>()) << " (" << printable(app["name"].get<std::string>()) << "), grace "
                  << app["grace"].get<std::string>() << "\n";
    const std::string items = s["vaultIndexDamaged"].get<bool>() ? "index damaged, its files are kept"
                                                                 : std::to_string(s["vaultItems"].get<std::size_t>()) + " item(s)";
    std::cout << "Vault:            " << (s["vaultSetUp"].get<bool>() ? "set up, " + items : "not set up") << "\n"
              << "Cameras:          " << (s["cameras"].empty() ? s.value("cameraProblem", std::string("none")) : "") << "\n";
    for (const auto& c : s["cameras"]) std::cout << "  " << printable(c["device"].get<std::string>()) << " (" << printable(c["name"].get<std::string>()) << ")\n";
}

int status(const Arguments& a) {
    const Json s = gather();
    if (a.has("--json")) std::cout << s.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
    else print(s);
    return Exit::ok;
}

}  // namespace

std::vector<Command> statusCommands() {
    return {{{"status"}, "[--json]",
             "Show the data folder, secret store, password, faces, blink setting, protected apps, vault and cameras.",
             "  --json  the same as one JSON object", {"--json"}, {}, 0, 0, status}};
}

}  // namespace Cli
