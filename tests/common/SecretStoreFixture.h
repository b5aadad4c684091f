#pragma once
// The secret store a test runs against. Inside scripts/test-desktop (its own gnome-keyring on a
// private session bus) that is the real Secret Service; anywhere else it is the file store in a
// temporary folder, so that tests never touch the items of a user's real keyring.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "Platform/FileSecretStore.h"
#include "Platform/SecretServiceStore.h"
#include "Support/SecretStore.h"

namespace TestSupport {

inline bool insideTestDesktop() { return std::getenv("KORVEL_DESKTOP_DIR") != nullptr; }

// Items of this test process only: ctest runs test programs (and single cases) in parallel against
// the one keyring of the test desktop, and the same names would otherwise collide.
inline std::string testServicePrefix() { return "korvel-test-" + std::to_string(::getpid()) + "/"; }

inline std::shared_ptr<SecretStore> makeTestSecretStore(const std::filesystem::path& fileStoreDir) {
    if (insideTestDesktop()) {
        std::string reason;
        SecretServiceStore::Options options;
        options.servicePrefix = testServicePrefix();
        if (auto service = SecretServiceStore::connect(options, &reason)) return service;
        ADD_FAILURE() << "the test desktop's Secret Service does not answer: " << reason;
    }
    return std::make_shared<FileSecretStore>(fileStoreDir / "Secrets" / "secrets.json");
}

// Installs a test store for the life of the object and puts the previous one back afterwards.
class ScopedSecretStore {
public:
    explicit ScopedSecretStore(std::shared_ptr<SecretStore> store) : previous_(SecretStore::shared()) {
        SecretStore::setShared(std::move(store));
    }
    ~ScopedSecretStore() { SecretStore::setShared(previous_); }
    ScopedSecretStore(const ScopedSecretStore&) = delete;
    ScopedSecretStore& operator=(const ScopedSecretStore&) = delete;

private:
    std::shared_ptr<SecretStore> previous_;
};

// Fails writes of one account (the first `failures` of them, or all), otherwise passes through.
class FailingAccountStore final : public SecretStore {
public:
    FailingAccountStore(std::shared_ptr<SecretStore> inner, std::string account, int failures = -1)
        : inner_(std::move(inner)), account_(std::move(account)), failures_(failures) {}
    Kind kind() const override { return inner_->kind(); }
    SecretLookup lookup(std::string_view s, std::string_view a) override { return inner_->lookup(s, a); }
    SecretLookup exists(std::string_view s, std::string_view a) override { return inner_->exists(s, a); }
    SecretWrite store(std::string_view s, std::string_view a, std::span<const std::uint8_t> v) override {
        if (a == account_ && failures_ != 0) {
            if (failures_ > 0) --failures_;
            return {SecretWrite::Status::error, "injected"};
        }
        return inner_->store(s, a, v);
    }
    SecretWrite remove(std::string_view s, std::string_view a) override { return inner_->remove(s, a); }

private:
    std::shared_ptr<SecretStore> inner_;
    std::string account_;
    int failures_;
};

}  // namespace TestSupport
