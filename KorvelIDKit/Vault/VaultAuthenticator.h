#pragma once
// What the vault needs from the authentication facade: a face scan with password fallback, and
// the password prompt that returns the vault's password key. The identity layer provides the real
// one; tests script the answers.
#include <QFuture>

#include <optional>
#include <string>

#include "Support/SymmetricKey.h"

class VaultAuthenticator {
public:
    struct Method {
        enum class Kind { face, password };
        Kind kind = Kind::password;
        std::string name;  // the recognised profile, for `face`

        static Method face(std::string profileName) { return {Kind::face, std::move(profileName)}; }
        static Method password() { return {Kind::password, {}}; }
        friend bool operator==(const Method&, const Method&) = default;
    };

    struct Result {
        enum class Kind { success, failed, cancelled };
        Kind kind = Kind::cancelled;
        Method method;        // for `success`
        std::string message;  // short English reason, for `failed`

        static Result success(Method m) { return {Kind::success, std::move(m), {}}; }
        static Result failed(std::string reason) { return {Kind::failed, {}, std::move(reason)}; }
        static Result cancelled() { return {Kind::cancelled, {}, {}}; }
        friend bool operator==(const Result&, const Result&) = default;
    };

    // An authentication's result and, after a password approval, the vault's password key.
    struct KeyedResult {
        Result result;
        std::optional<SymmetricKey> passwordKey;
    };

    virtual ~VaultAuthenticator() = default;

    // Asks for the master password and yields its vault key; nothing when the user cancels or
    // the password does not match. Called on the main thread.
    virtual QFuture<std::optional<SymmetricKey>> promptVaultKey(const std::string& reason) = 0;
    // The face first, then the password; a password approval brings the password key with it, so
    // the password is asked for once. Called on the main thread.
    virtual QFuture<KeyedResult> authenticateForVault(const std::string& reason) = 0;
};
