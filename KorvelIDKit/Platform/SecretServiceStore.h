#pragma once
// Secrets in the freedesktop Secret Service (gnome-keyring, KeePassXC, KWallet) through libsecret.
// Values are stored and read as bytes, so they may contain zero bytes. Every operation runs with
// a time-out and never asks the service to unlock anything: a locked collection is reported as
// `locked` (never as a missing item), and no unlock prompt is ever raised.
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "Support/SecretStore.h"

class SecretServiceStore final : public SecretStore {
public:
    // The item schema: attributes "service" and "account".
    static constexpr const char* schemaName = "com.korvel.id.Secret";

    struct Options {
        // Where new items go: a collection alias ("default": the user's login keyring) or a
        // collection's D-Bus object path.
        std::string collection = "default";
        std::chrono::milliseconds timeout{5000};
        // Put before every service name in the keyring, so that several test processes can share
        // one keyring without touching each other's items. Empty for the application.
        std::string servicePrefix;
    };

    // Connects to the Secret Service of the session bus. Nothing (with the reason) when there is
    // no session bus, no service answers within the time-out, or the collection does not exist.
    // Never starts a bus of its own.
    static std::unique_ptr<SecretServiceStore> connect(Options options, std::string* reason = nullptr);
    static std::unique_ptr<SecretServiceStore> connect(std::string* reason = nullptr) { return connect(Options{}, reason); }

    ~SecretServiceStore() override;
    SecretServiceStore(const SecretServiceStore&) = delete;
    SecretServiceStore& operator=(const SecretServiceStore&) = delete;

    Kind kind() const override { return Kind::secretService; }
    SecretLookup lookup(std::string_view service, std::string_view account) override;
    SecretLookup exists(std::string_view service, std::string_view account) override;
    SecretWrite store(std::string_view service, std::string_view account, std::span<const std::uint8_t> value) override;
    SecretWrite remove(std::string_view service, std::string_view account) override;

    // Whether the target collection is locked right now (nothing when that cannot be told).
    std::optional<bool> collectionLocked();

private:
    struct Impl;
    explicit SecretServiceStore(std::unique_ptr<Impl> impl);
    SecretLookup find(std::string_view service, std::string_view account, bool loadValue);

    std::unique_ptr<Impl> impl_;
    std::mutex mutex_;  // one conversation with the service at a time
};
