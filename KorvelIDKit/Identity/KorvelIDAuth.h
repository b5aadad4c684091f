#pragma once
// Whether the user may go ahead: the face first (with the scan display), then the master password
// in a modal dialog. Also the password dialog on its own, for the vault's password key or the
// verified password text. Every operation is called on the main thread and finishes there; the
// password checks and derivations run on pool threads.
#include <QFuture>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Identity/PasswordPrompt.h"
#include "Identity/UnlockResult.h"
#include "Support/SymmetricKey.h"
#include "Vault/VaultAuthenticator.h"

class KorvelIDAuth {
public:
    KorvelIDAuth() = delete;

    using Method = VaultAuthenticator::Method;
    using Result = VaultAuthenticator::Result;

    static constexpr const char* notConfiguredReason = "Not configured";
    static constexpr const char* notRecognizedReason = "Not recognized";
    // The password is the way left but the secret store is locked or does not answer: no prompt,
    // since no typed password could be checked.
    static constexpr const char* keyringLockedReason = "Keyring locked";

    // At least one face is enrolled, or a master password is set (or may be: a locked keyring).
    static bool isConfigured();
    static QFuture<Result> authenticate(const std::string& reason, bool allowPasswordFallback);
    // authenticate(reason, true), with the password key of a password approval (the vault's unlock).
    static QFuture<VaultAuthenticator::KeyedResult> authenticateForVault(const std::string& reason);
    // The dialog stays open on a wrong password ("Incorrect password.", then a growing wait) until
    // the right one or a cancel: `success(password)` or `cancelled`.
    static QFuture<Result> promptPassword(const std::string& reason);
    // The typed password, only when it verified.
    static QFuture<std::optional<SecretString>> promptPasswordReturningValue(const std::string& reason);
    // The vault key of the typed password; nothing when dismissed or wrong.
    static QFuture<std::optional<SymmetricKey>> promptVaultKey(const std::string& reason);

    // The vault's view of this facade (install it with KorvelIDVault::setAuthenticator).
    static std::shared_ptr<VaultAuthenticator> vaultAuthenticator();

    // Installed by the UI library; without one every prompt counts as dismissed.
    static void setPasswordPrompt(std::shared_ptr<PasswordPrompt> prompt);

    // Where the face step comes from; empty members restore KorvelID (tests script it).
    struct Face {
        std::function<bool()> isEnrolled;
        std::function<QFuture<UnlockResult>()> unlock;
    };
    static void setFace(Face face);
};
