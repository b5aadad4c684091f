#include "KorvelIDVault.h"

#include <QPromise>

#include <mutex>

#include "Identity/MasterPassword.h"
#include "Support/Async.h"
#include "Support/Logger.h"

namespace {
std::mutex gMutex;
std::unique_ptr<VaultStore> gStore;
std::shared_ptr<VaultAuthenticator> gAuthenticator;

std::shared_ptr<VaultAuthenticator> authenticator() {
    std::lock_guard lock(gMutex);
    return gAuthenticator;
}

using Async::resolve;
using Async::startedPromise;

using OptionalKey = std::optional<SymmetricKey>;

// The password path of unlock(): one more prompt, then the key opens the password copy.
void unlockWithPassword(const std::shared_ptr<QPromise<bool>>& promise, const std::shared_ptr<VaultAuthenticator>& auth) {
    Async::whenFinished(auth->promptVaultKey(KorvelIDVault::unlockReason), [promise](const QFuture<OptionalKey>& f) {
        const auto key = Async::valueOr(f, OptionalKey{});
        if (!key) return resolve(promise, false);
        try {
            KorvelIDVault::store().unlock(*key);
        } catch (const std::exception&) {
            return resolve(promise, false);
        }
        resolve(promise, true);
    });
}

void restoreCredential(const std::optional<MasterPassword::Credential>& snapshot) {
    if (!snapshot) return;
    if (!MasterPassword::restore(*snapshot))
        Log::auth().error("The earlier master password could not be written back after a failed change.");
}

// The two halves of a password change around the new password's derivation, shared by the
// asynchronous facade and the synchronous form so that both write in the same order.
struct Change {
    bool wasSetUp = false;
    std::optional<MasterPassword::Credential> snapshot;
};

// With the current key known: a set-up vault is unlocked with it. Nothing when the change may go on.
std::optional<PasswordChangeResult> beginChange(VaultStore& vault, const OptionalKey& currentKey, Change& change) {
    if (!currentKey)
        return MasterPassword::state() == MasterPassword::State::unavailable ? PasswordChangeResult::keyringLocked
                                                                             : PasswordChangeResult::wrongCurrentPassword;
    change.wasSetUp = vault.isInitialized();
    if (change.wasSetUp && !vault.isUnlocked()) {
        try {
            vault.unlock(*currentKey);
        } catch (const std::exception&) {
            return PasswordChangeResult::failed;
        }
    }
    change.snapshot = MasterPassword::snapshot();
    return std::nullopt;
}

// The password items first, then the vault's copy. A crash between them leaves a password that the
// master password accepts and the vault's copy does not; the next password unlock re-wraps the copy
// from the device key. The other order would need the same repair the other way round.
PasswordChangeResult finishChange(VaultStore& vault, const Change& change,
                                  const std::optional<MasterPassword::NewPassword>& next) {
    if (!next) return PasswordChangeResult::failed;  // nothing was written
    if (!MasterPassword::restore(next->credential)) {
        // The earlier pair stays in force; writing it back also covers a store that kept a write
        // it reported as failed.
        restoreCredential(change.snapshot);
        return PasswordChangeResult::failed;
    }
    if (!change.wasSetUp) return PasswordChangeResult::success;
    if (vault.isUnlocked()) {
        try {
            vault.rewrapForNewPassword(next->key);
            return PasswordChangeResult::success;
        } catch (const std::exception&) {
            // Falls through: the vault keeps the old password copy, so the old password must stay
            // the master password.
        }
    }
    restoreCredential(change.snapshot);
    return PasswordChangeResult::failed;
}
}  // namespace

VaultStore& KorvelIDVault::store() {
    std::lock_guard lock(gMutex);
    if (!gStore) {
        // Not tidied here: a command that only reads runs beside the application, whose copies and
        // files these may be. The lock's holder calls removeLeftoverCopies once at start.
        gStore = std::make_unique<VaultStore>();
    }
    return *gStore;
}

void KorvelIDVault::setStore(std::unique_ptr<VaultStore> store) {
    std::lock_guard lock(gMutex);
    gStore = std::move(store);
}

void KorvelIDVault::setAuthenticator(std::shared_ptr<VaultAuthenticator> auth) {
    std::lock_guard lock(gMutex);
    gAuthenticator = std::move(auth);
}

bool KorvelIDVault::isSetUp() { return store().isInitialized(); }
bool KorvelIDVault::isUnlocked() { return store().isUnlocked(); }
std::vector<VaultItem> KorvelIDVault::items() { return store().items(); }
VaultListing KorvelIDVault::listing() { return store().listing(); }
void KorvelIDVault::lock() { store().lock(); }
VaultItem KorvelIDVault::add(const std::filesystem::path& fileURL) { return store().addFile(fileURL); }
VaultItem KorvelIDVault::add(const std::string& name, std::span<const std::uint8_t> data) {
    return store().addItem(name, data);
}
Bytes KorvelIDVault::decryptedData(const VaultItem& item) { return store().decryptedData(item); }
std::filesystem::path KorvelIDVault::exportToTemp(const VaultItem& item) { return store().exportToTemp(item); }
void KorvelIDVault::remove(const VaultItem& item) { store().removeItem(item); }
void KorvelIDVault::rewrapForNewPassword(const SymmetricKey& key) { store().rewrapForNewPassword(key); }
void KorvelIDVault::removeLeftoverCopies() { store().removeLeftovers(); }

QFuture<void> KorvelIDVault::setUp() {
    Q_ASSERT(Async::isMainThread());
    auto promise = startedPromise<void>();
    QFuture<void> future = promise->future();
    if (store().isInitialized()) {
        promise->finish();
        return future;
    }
    const auto auth = authenticator();
    QFuture<OptionalKey> prompt = auth ? auth->promptVaultKey(setUpReason) : Async::ready(OptionalKey{});
    Async::whenFinished(prompt, [promise](const QFuture<OptionalKey>& f) {
        const auto key = Async::valueOr(f, OptionalKey{});
        try {
            if (!key) throw VaultError::locked();
            store().initialize(*key);
        } catch (...) {
            promise->setException(std::current_exception());
        }
        promise->finish();
    });
    return future;
}

QFuture<bool> KorvelIDVault::unlock() {
    Q_ASSERT(Async::isMainThread());
    auto promise = startedPromise<bool>();
    QFuture<bool> future = promise->future();
    if (!store().isInitialized()) {
        resolve(promise, false);
        return future;
    }
    if (store().isUnlocked()) {
        resolve(promise, true);
        return future;
    }
    const auto auth = authenticator();
    if (!auth) {
        resolve(promise, false);
        return future;
    }
    using Keyed = VaultAuthenticator::KeyedResult;
    using Result = VaultAuthenticator::Result;
    Async::whenFinished(auth->authenticateForVault(unlockReason), [promise, auth](const QFuture<Keyed>& f) {
        const Keyed answer = Async::valueOr(f, Keyed{Result::cancelled(), std::nullopt});
        if (answer.result.kind != Result::Kind::success) return resolve(promise, false);
        if (answer.result.method.kind == VaultAuthenticator::Method::Kind::face) {
            try {
                store().unlockWithDeviceKey();
                return resolve(promise, true);
            } catch (const std::exception&) {
                // No usable device key: the password copy still opens the vault, and the password
                // has not been asked for yet.
            }
        } else if (answer.passwordKey) {
            // The password just typed is the key: asking for it again would only repeat the prompt.
            try {
                store().unlock(*answer.passwordKey);
                return resolve(promise, true);
            } catch (const std::exception&) {
                return resolve(promise, false);
            }
        }
        unlockWithPassword(promise, auth);
    });
    return future;
}

QFuture<PasswordChangeResult> KorvelIDVault::changeMasterPassword(std::string oldPassword, std::string newPassword) {
    Q_ASSERT(Async::isMainThread());
    auto promise = startedPromise<PasswordChangeResult>();
    QFuture<PasswordChangeResult> future = promise->future();
    auto held = std::make_shared<SecretString>(std::move(newPassword));
    auto derivingOld = MasterPassword::deriveKeyForVaultAsync(std::move(oldPassword));
    // A moved-from short string still holds its characters.
    secureWipe(oldPassword);

    Async::whenFinished(derivingOld, [promise, held](const QFuture<OptionalKey>& f) {
        auto change = std::make_shared<Change>();
        if (const auto refused = beginChange(store(), Async::valueOr(f, OptionalKey{}), *change))
            return resolve(promise, *refused);
        using Prepared = std::optional<MasterPassword::NewPassword>;
        Async::whenFinished(MasterPassword::prepareAsync(held->str()), [promise, change](const QFuture<Prepared>& g) {
            resolve(promise, finishChange(store(), *change, Async::valueOr(g, Prepared{})));
        });
    });
    return future;
}

PasswordChangeResult KorvelIDVault::changeMasterPasswordNow(VaultStore& vault, std::string_view oldPassword,
                                                            std::string_view newPassword) {
    Change change;
    if (const auto refused = beginChange(vault, MasterPassword::deriveKeyForVault(oldPassword), change)) return *refused;
    return finishChange(vault, change, MasterPassword::prepare(newPassword));
}
