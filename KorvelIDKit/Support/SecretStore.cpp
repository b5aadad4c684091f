#include "SecretStore.h"

#include <mutex>

#include "SymmetricKey.h"

SecretLookup::~SecretLookup() { secureWipe(value); }

namespace {
class UnavailableSecretStore final : public SecretStore {
public:
    Kind kind() const override { return Kind::unavailable; }
    SecretLookup lookup(std::string_view, std::string_view) override { return failure(); }
    SecretLookup exists(std::string_view, std::string_view) override { return failure(); }
    SecretWrite store(std::string_view, std::string_view, std::span<const std::uint8_t>) override {
        return {SecretWrite::Status::error, kReason};
    }
    SecretWrite remove(std::string_view, std::string_view) override { return {SecretWrite::Status::error, kReason}; }

private:
    static constexpr const char* kReason = "No secret store is available.";
    static SecretLookup failure() { return {SecretLookup::Status::error, {}, kReason}; }
};

std::mutex gMutex;
std::shared_ptr<SecretStore>& current() {
    static std::shared_ptr<SecretStore> store = std::make_shared<UnavailableSecretStore>();
    return store;
}
}  // namespace

std::shared_ptr<SecretStore> SecretStore::shared() {
    std::lock_guard lock(gMutex);
    return current();
}

void SecretStore::setShared(std::shared_ptr<SecretStore> store) {
    if (!store) store = std::make_shared<UnavailableSecretStore>();
    std::lock_guard lock(gMutex);
    current() = std::move(store);
}

const char* secretStoreKindName(SecretStore::Kind kind) {
    switch (kind) {
    case SecretStore::Kind::unavailable: return "unavailable";
    case SecretStore::Kind::secretService: return "Secret Service";
    case SecretStore::Kind::file: return "file";
    }
    return "unavailable";
}
