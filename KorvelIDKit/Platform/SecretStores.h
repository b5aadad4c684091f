#pragma once
// Chooses the process-wide secret store at start-up.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Support/SecretStore.h"

class FileSecretStore;

// Installs the Secret Service when one answers on the session bus, otherwise the file store, and
// returns which one is active. Secrets that an earlier run had to keep in the file store are moved
// into the Secret Service once it is available (see moveSecrets). Also removes what an interrupted
// save of the file store left behind. `servicePrefix` goes before every service name in the
// Secret Service (see SecretServiceStore::Options), so that tests keep to their own items.
SecretStore::Kind installDefaultSecretStore(const std::string& servicePrefix = {});

// Services whose items exist in both stores with different values: the file was written while the
// Secret Service was away (a master password set again on a start without a keyring).
struct SecretStoreConflict {
    std::filesystem::path file;         // still holds the file's copies
    std::vector<std::string> services;  // "com.korvel.id.master", …
};

struct SecretMove {
    bool ok = false;     // every item without a conflict arrived, and the file holds nothing else
    std::string reason;  // why not, when !ok
    std::vector<std::string> conflicts;
};

// Copies the file's items into `to` one service at a time, reads each back, and then drops them
// from the file. A service that `to` already holds with other values is never overwritten: the
// keyring's items stay authoritative (the vault's password copy belongs to them), the file keeps
// that service's items and the service is listed as a conflict. The file is deleted once empty.
// On a failure the file is left as it was.
SecretMove moveSecrets(FileSecretStore& from, SecretStore& to);

// The conflict found by installDefaultSecretStore in this run, for the settings to show.
std::optional<SecretStoreConflict> secretStoreConflict();
