#pragma once
// The master password: the fallback for every face check and the root of the vault's password
// key. No password is stored. A random salt and a verifier (SHA-256 of the derived key) live in
// the secret store under the service "com.korvel.id.master"; a typed password is accepted when
// the hash of its derived key equals the verifier. Nothing is cached: every call reads the store.
//
// Salt and verifier are two items, which no store replaces together. While a new pair is written,
// the item "previous" holds the pair in force (salt followed by verifier, 64 bytes): as long as
// "verifier" still equals the previous verifier, the previous salt belongs to it. Writing the
// verifier is therefore the one moment a change takes effect, and a crash before or after it leaves
// exactly one pair that some password opens. Older readers ignore the extra item.
//
// A derivation costs 200,001 HMAC-SHA256 computations (about 20 ms here), so the synchronous
// operations that derive (set, setReturningKey, verify, deriveKeyForVault) must not run on the Qt
// main thread; the main thread uses the *Async forms, which derive on a pool thread.
#include <QFuture>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Support/Bytes.h"
#include "Support/SymmetricKey.h"

class MasterPassword {
public:
    MasterPassword() = delete;

    static constexpr const char* service = "com.korvel.id.master";
    static constexpr const char* saltAccount = "salt";
    static constexpr const char* verifierAccount = "verifier";
    static constexpr const char* previousAccount = "previous";
    static constexpr std::size_t saltLength = 32;
    // HMAC steps after the first one. Part of the stored format: another count derives other keys.
    static constexpr int chainSteps = 200'000;

    struct Credential {
        Bytes salt;      // 32 random bytes
        Bytes verifier;  // SHA-256 of the derived key
        friend bool operator==(const Credential&, const Credential&) = default;
    };

    // A new password's salt, verifier and key: derived, not yet stored.
    struct NewPassword {
        Credential credential;
        SymmetricKey key;
    };

    enum class State {
        notSet,       // the store answered: no password
        set,          // both items exist
        unavailable,  // the store is locked or does not answer: a password may well be set
    };
    static State state();
    // Both items exist (false also while the store cannot tell: callers that guard something ask
    // state(), since a locked keyring is no keyring without a password).
    static bool isSet();
    static bool set(std::string_view password);
    // Sets a new password (new salt and verifier) and returns its key; nothing for an empty
    // password, a random-source failure or a store failure (the earlier password then stays).
    static std::optional<SymmetricKey> setReturningKey(std::string_view password);
    // Draws a salt and derives; stores nothing. Nothing for an empty password or no randomness.
    static std::optional<NewPassword> prepare(std::string_view password);
    static bool verify(std::string_view password);
    // The password's key, only if the password is right.
    static std::optional<SymmetricKey> deriveKeyForVault(std::string_view password);
    // Wrong passwords in a row in this process, whichever screen took them, so that closing a
    // prompt and opening another starts no new count for the growing wait; a right one resets it.
    static int wrongInARow();
    // How long every prompt still waits before it takes a password: PasswordRules::retryDelay of
    // wrongInARow(), counted from the last wrong one. A prompt opened anew waits out the rest too.
    static std::chrono::milliseconds retryWait();
    // Whether `key` is the current password's key (its hash is the verifier in force). No derivation.
    static bool isCurrentKey(const SymmetricKey& key);
    // The salt and verifier in force, only if both are readable.
    static std::optional<Credential> snapshot();
    // Puts a pair in force: the pair in force goes to "previous", then the salt, then the verifier are
    // written and "previous" is removed. True when both were stored; on false the earlier pair
    // stays in force.
    static bool restore(const Credential& credential);
    // Deletes "previous", the salt, then the verifier; results are ignored.
    static void reset();

    // The deriving operations on a pool thread. The futures finish off the main thread; use
    // Async::whenFinished to continue on it.
    // Sets a first password only: false while one is in force or out of reach (a screen left
    // open at onboarding must not replace a password set meanwhile; a change asks for the old one).
    static QFuture<bool> setFirstAsync(std::string password);
    static QFuture<std::optional<NewPassword>> prepareAsync(std::string password);
    static QFuture<bool> verifyAsync(std::string password);
    static QFuture<std::optional<SymmetricKey>> deriveKeyForVaultAsync(std::string password);

    // B = HMAC-SHA256(salt, UTF-8 bytes of the password, not normalised), then 200,000 times
    // B = HMAC-SHA256(salt, B). Each step after the first costs two SHA-256 compressions.
    static SymmetricKey deriveKey(std::string_view password, std::span<const std::uint8_t> salt);
    // False for different lengths, true for two empty values; otherwise looks at every byte.
    static bool constantTimeEquals(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
};
