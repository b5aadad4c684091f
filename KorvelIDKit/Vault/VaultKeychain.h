#pragma once
// The vault's device key (KEK) in the secret store: service "com.korvel.id.vault.kek", account
// "device-kek", the key's 32 raw bytes. No state in memory; every call asks the store.
#include <optional>

#include "Support/SymmetricKey.h"

namespace VaultKeychain {
inline constexpr const char* service = "com.korvel.id.vault.kek";
inline constexpr const char* account = "device-kek";

// Removes any earlier item, then stores the key; true exactly when storing succeeded.
bool storeDeviceKEK(const SymmetricKey& kek);
// The key, or nothing: no item, a locked store, a value that is not 32 bytes, or a store error.
std::optional<SymmetricKey> loadDeviceKEK();
// Removes the item; the outcome is ignored. (Named `delete` where the keyword is free.)
void remove();
}  // namespace VaultKeychain
