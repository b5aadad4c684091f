#pragma once
// Chooses the process-wide secret store at start-up.
#include <string>

#include "Support/SecretStore.h"

class FileSecretStore;

// Installs the Secret Service when one answers on the session bus, otherwise the file store, and
// returns which one is active. Secrets that an earlier run had to keep in the file store are moved
// into the Secret Service once it is available (see moveSecrets).
SecretStore::Kind installDefaultSecretStore();

// Copies every item of `from` into `to` (replacing what `to` holds under the same names: the file
// was written after those, while the Secret Service was away), reads each one back, and deletes
// the file only when all of them arrived. False (with the reason) when anything failed; the file
// is then left as it was.
bool moveSecrets(FileSecretStore& from, SecretStore& to, std::string* reason = nullptr);
