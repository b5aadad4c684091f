#pragma once
// The vault's public face for the vault page and the change-password sheet. It owns the one
// VaultStore of the process, unlocks by face (device key) or by master password, and changes the
// master password so that the password and the vault's password copy of the data key never
// disagree. All operations are called on the main thread; the asynchronous ones return at once
// and finish on the main thread, with the key derivations running on pool threads.
#include <QFuture>

#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Support/SymmetricKey.h"
#include "VaultAuthenticator.h"
#include "VaultStore.h"

// keyringLocked: the current password could not be checked (the keyring holding it is locked).
enum class PasswordChangeResult { success, wrongCurrentPassword, keyringLocked, failed };

class KorvelIDVault {
public:
    KorvelIDVault() = delete;

    static constexpr const char* setUpReason = "Set up your encrypted vault";
    static constexpr const char* unlockReason = "Unlock your vault";

    static bool isSetUp();
    static bool isUnlocked();
    // Newest first; readable while locked.
    static std::vector<VaultItem> items();
    // The items with what is wrong with the index.
    static VaultListing listing();

    // Returns at once when the vault is set up already. Otherwise asks for the password key and
    // creates the vault, which is then unlocked. The future finishes with VaultError::locked when
    // the prompt gives nothing, or with the store's error (rethrown by QFuture::waitForFinished).
    static QFuture<void> setUp();
    // Whether the vault is unlocked afterwards. Face first (device key); a password approval opens
    // the password copy with the key of the password just typed; only when a face approval finds
    // no usable device key is the password asked for.
    static QFuture<bool> unlock();
    // Forgets the data key and deletes every decrypted copy.
    static void lock();

    // Forwarded to the store; its errors pass through unchanged.
    static VaultItem add(const std::filesystem::path& fileURL);
    static VaultItem add(const std::string& name, std::span<const std::uint8_t> data);
    static Bytes decryptedData(const VaultItem& item);
    static std::filesystem::path exportToTemp(const VaultItem& item);
    static void remove(const VaultItem& item);
    static void rewrapForNewPassword(const SymmetricKey& key);

    // Replaces the master password; a set-up vault follows (unlocked with the current password if
    // needed, and left unlocked). When the vault cannot follow, or the new password cannot be
    // stored, the old salt and verifier are written back, so the old password keeps working.
    // The password items are replaced first and the vault's password copy second; a crash between
    // the two is mended by the next password unlock (VaultStore::unlock).
    static QFuture<PasswordChangeResult> changeMasterPassword(std::string oldPassword, std::string newPassword);
    // The same change on the calling thread, derivations included, for a caller without an event
    // loop (a forked process, the command line). Never on a window's thread: it blocks for seconds.
    static PasswordChangeResult changeMasterPasswordNow(VaultStore& store, std::string_view oldPassword,
                                                        std::string_view newPassword);

    // At start-up, by the data folder lock's holder only: deletes decrypted copies and unfinished
    // temporary files that an earlier process left behind.
    static void removeLeftoverCopies();

    // The authentication facade's answers (the identity layer installs it; tests script it).
    static void setAuthenticator(std::shared_ptr<VaultAuthenticator> authenticator);
    // Replaces the store (tests; a host keeping its vault elsewhere). nullptr: the default store
    // is created again on next use.
    static void setStore(std::unique_ptr<VaultStore> store);
    static VaultStore& store();
};
