#pragma once
// Small secrets kept by the desktop's secret store: byte values addressed by a service and an
// account name ("com.korvel.id.master" / "salt"). The logic only sees this interface; the
// application installs a backend at start-up (the freedesktop Secret Service, or a private file
// when no Secret Service answers) and tests install their own.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "Bytes.h"

struct SecretLookup {
    enum class Status {
        found,     // `value` holds the item's bytes (empty for `exists`)
        notFound,  // the store answered and holds no such item
        locked,    // the store or the collection is locked: the item may exist but cannot be read
        error,     // the store did not answer or failed; `reason` says why
    };
    Status status = Status::notFound;
    Bytes value;
    std::string reason;

    SecretLookup() = default;
    SecretLookup(Status s, Bytes v = {}, std::string r = {}) : status(s), value(std::move(v)), reason(std::move(r)) {}
    SecretLookup(const SecretLookup&) = default;
    SecretLookup(SecretLookup&&) = default;
    SecretLookup& operator=(const SecretLookup&) = default;
    SecretLookup& operator=(SecretLookup&&) = default;
    ~SecretLookup();

    bool found() const { return status == Status::found; }
};

struct SecretWrite {
    enum class Status { ok, locked, error };
    Status status = Status::ok;
    std::string reason;

    bool ok() const { return status == Status::ok; }
};

class SecretStore {
public:
    enum class Kind {
        unavailable,    // nothing installed: every call fails
        secretService,  // the desktop's Secret Service (gnome-keyring, KeePassXC, KWallet)
        file,           // the owner-only file in the data directory
    };

    virtual ~SecretStore() = default;

    virtual Kind kind() const = 0;
    virtual SecretLookup lookup(std::string_view service, std::string_view account) = 0;
    // As `lookup`, without reading the value.
    virtual SecretLookup exists(std::string_view service, std::string_view account) = 0;
    // Adds the item or replaces its value.
    virtual SecretWrite store(std::string_view service, std::string_view account, std::span<const std::uint8_t> value) = 0;
    // Removing an item that does not exist succeeds.
    virtual SecretWrite remove(std::string_view service, std::string_view account) = 0;

    // The process-wide store. Safe to call from any thread; the object stays valid for the caller
    // even if another one is installed meanwhile.
    static std::shared_ptr<SecretStore> shared();
    // Installs the process-wide store; nullptr goes back to the unavailable store.
    static void setShared(std::shared_ptr<SecretStore> store);
    // Which backend is active right now (the settings warn about the file store).
    static Kind activeKind() { return shared()->kind(); }
};

const char* secretStoreKindName(SecretStore::Kind kind);
