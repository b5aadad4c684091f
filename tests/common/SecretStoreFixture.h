#pragma once
// The secret store of a test: the real Secret Service inside scripts/test-desktop (its private
// gnome-keyring), else the file store in a temporary folder; never a user's real keyring.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
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

// Passes everything through to `inner`, except the writes (stores and removals) that `fails` refuses
// by account; `onLookup` sees the account of every lookup.
class HookedStore final : public SecretStore {
public:
    using Check = std::function<bool(std::string_view account)>;
    explicit HookedStore(std::shared_ptr<SecretStore> inner, Check fails = {})
        : inner_(std::move(inner)), fails_(std::move(fails)) {}
    // Fails the writes of one account: the first `failures` of them, or all.
    static std::shared_ptr<HookedStore> failing(std::shared_ptr<SecretStore> inner, std::string account, int failures = -1) {
        return std::make_shared<HookedStore>(std::move(inner), [account, failures](std::string_view a) mutable {
            return a == account && failures != 0 && (failures < 0 || failures-- > 0);
        });
    }
    std::function<void(std::string_view account)> onLookup;
    Kind kind() const override { return inner_->kind(); }
    SecretLookup lookup(std::string_view s, std::string_view a) override {
        if (onLookup) onLookup(a);
        return inner_->lookup(s, a);
    }
    SecretLookup exists(std::string_view s, std::string_view a) override { return inner_->exists(s, a); }
    SecretWrite store(std::string_view s, std::string_view a, std::span<const std::uint8_t> v) override {
        return fails_ && fails_(a) ? SecretWrite{SecretWrite::Status::error, "injected"} : inner_->store(s, a, v);
    }
    SecretWrite remove(std::string_view s, std::string_view a) override {
        return fails_ && fails_(a) ? SecretWrite{SecretWrite::Status::error, "injected"} : inner_->remove(s, a);
    }

private:
    std::shared_ptr<SecretStore> inner_;
    Check fails_;
};

// A keyring that is locked: every item may exist, none can be read or written.
class LockedStore final : public SecretStore {
public:
    Kind kind() const override { return Kind::secretService; }
    SecretLookup lookup(std::string_view, std::string_view) override { return {SecretLookup::Status::locked}; }
    SecretLookup exists(std::string_view, std::string_view) override { return {SecretLookup::Status::locked}; }
    SecretWrite store(std::string_view, std::string_view, std::span<const std::uint8_t>) override {
        return {SecretWrite::Status::locked, "locked"};
    }
    SecretWrite remove(std::string_view, std::string_view) override { return {SecretWrite::Status::locked, "locked"}; }
};

}  // namespace TestSupport
