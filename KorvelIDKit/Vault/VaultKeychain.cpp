#include "VaultKeychain.h"

#include "Support/Logger.h"
#include "Support/SecretStore.h"

namespace VaultKeychain {

bool storeDeviceKEK(const SymmetricKey& kek) {
    remove();
    const auto result = SecretStore::shared()->store(service, account, kek.bytes());
    if (!result.ok()) Log::store().error("Could not store the vault's device key: " + result.reason);
    return result.ok();
}

std::optional<SymmetricKey> loadDeviceKEK() {
    const auto result = SecretStore::shared()->lookup(service, account);
    if (result.status == SecretLookup::Status::locked) Log::store().info("The keyring holding the vault's device key is locked.");
    else if (result.status == SecretLookup::Status::error) Log::store().error("Could not read the vault's device key: " + result.reason);
    if (!result.found()) return std::nullopt;
    return SymmetricKey::fromBytes(result.value);
}

void remove() { (void)SecretStore::shared()->remove(service, account); }
}  // namespace VaultKeychain
