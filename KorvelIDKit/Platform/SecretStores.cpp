#include "SecretStores.h"

#include <sys/stat.h>

#include <algorithm>
#include <mutex>

#include "FileSecretStore.h"
#include "Identity/MasterPassword.h"
#include "SecretServiceStore.h"
#include "Support/DataFolderLock.h"
#include "Support/FileIO.h"
#include "Support/Logger.h"

namespace {
std::mutex gConflictMutex;
std::optional<SecretStoreConflict> gConflict;

void setConflict(std::optional<SecretStoreConflict> conflict) {
    std::lock_guard lock(gConflictMutex);
    gConflict = std::move(conflict);
}

using Items = std::vector<FileSecretStore::Item>;

// Whether `to` holds any of the service's items with another value; nothing when it cannot tell.
std::optional<bool> conflicts(const Items& service, SecretStore& to, std::string& reason) {
    for (const auto& item : service) {
        const auto held = to.lookup(item.service, item.account);
        if (held.status == SecretLookup::Status::notFound) continue;
        if (!held.found()) {
            reason = held.reason.empty() ? "The keyring is locked." : held.reason;
            return std::nullopt;
        }
        if (!std::ranges::equal(held.value, item.value)) return true;
    }
    return false;
}

// Beside the secret file while the Secret Service holds the master password. A later start whose
// Secret Service does not answer must then find the secrets out of reach, not never set: an
// empty file store would open every gate and offer to make a new password. Anything at the name
// counts, so a link or a folder there fails closed.
fs::path keyringMarker(const FileSecretStore& file) { return file.path().parent_path() / "in-secret-service"; }

bool present(const fs::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

void markKeyring(const fs::path& marker, SecretLookup::Status master) {
    try {
        if (master == SecretLookup::Status::found && !present(marker)) {
            ensurePrivateFolder(marker.parent_path());
            writeFileAtomically(marker, std::string_view(""));
        } else if (master == SecretLookup::Status::notFound && present(marker)) {
            fs::remove(marker);  // a keyring without our password: nothing is out of reach
        }
    } catch (const std::exception& e) {
        Log::store().error(std::string("Could not note where the secrets are kept: ") + e.what());
    }
}

// The Secret Service as installed: storing the master password's verifier writes the marker first
// (a crash in between fails closed), and removing the verifier removes the marker after, so a
// password set during a run is already marked if the next start finds no keyring answering.
class MarkingStore final : public SecretStore {
public:
    MarkingStore(std::shared_ptr<SecretStore> inner, fs::path marker)
        : inner_(std::move(inner)), marker_(std::move(marker)) {}

    Kind kind() const override { return inner_->kind(); }
    SecretLookup lookup(std::string_view service, std::string_view account) override {
        return outOfReachIfGone(service, account, inner_->lookup(service, account));
    }
    SecretLookup exists(std::string_view service, std::string_view account) override {
        return outOfReachIfGone(service, account, inner_->exists(service, account));
    }
    SecretWrite store(std::string_view service, std::string_view account,
                      std::span<const std::uint8_t> value) override {
        if (isVerifier(service, account)) markKeyring(marker_, SecretLookup::Status::found);
        return inner_->store(service, account, value);
    }
    SecretWrite remove(std::string_view service, std::string_view account) override {
        auto removed = inner_->remove(service, account);
        if (removed.ok() && isVerifier(service, account)) markKeyring(marker_, SecretLookup::Status::notFound);
        return removed;
    }

private:
    static bool isVerifier(std::string_view service, std::string_view account) {
        return service == MasterPassword::service && account == MasterPassword::verifierAccount;
    }

    // While marked, a salt or verifier the keyring no longer shows (a KeePassXC database closed,
    // its collection gone) is out of reach, not unset: unset would open every gate during the run.
    // Removing the verifier through this store drops the marker; the next start re-reads the
    // keyring and drops it if the keyring truly holds no password.
    SecretLookup outOfReachIfGone(std::string_view service, std::string_view account, SecretLookup found) const {
        if (found.status != SecretLookup::Status::notFound || service != MasterPassword::service ||
            (account != MasterPassword::saltAccount && account != MasterPassword::verifierAccount) || !present(marker_))
            return found;
        return {SecretLookup::Status::error, {}, "The keyring no longer shows Korvel ID's master password."};
    }

    std::shared_ptr<SecretStore> inner_;
    fs::path marker_;
};

bool copyService(const Items& service, SecretStore& to, std::string& reason) {
    for (const auto& item : service) {
        const auto written = to.store(item.service, item.account, item.value);
        if (!written.ok()) {
            reason = written.reason;
            return false;
        }
        const auto back = to.lookup(item.service, item.account);
        if (!back.found() || !std::ranges::equal(back.value, item.value)) {
            reason = "The Secret Service did not keep \"" + item.service + "\" \"" + item.account + "\".";
            return false;
        }
    }
    return true;
}
}  // namespace

SecretMove moveSecrets(FileSecretStore& from, SecretStore& to) {
    SecretMove result;
    auto items = from.allItems(&result.reason);
    if (!items) return result;
    // The salt and the verifier only make sense together, so a service moves or stays as a whole.
    std::vector<std::string> services;
    for (const auto& item : *items)
        if (std::ranges::find(services, item.service) == services.end()) services.push_back(item.service);
    Items kept;
    for (const auto& name : services) {
        Items service;
        for (const auto& item : *items)
            if (item.service == name) service.push_back(item);
        const auto clash = conflicts(service, to, result.reason);
        if (!clash) return result;
        if (*clash) {
            result.conflicts.push_back(name);
            for (auto& item : service) kept.push_back(std::move(item));
            continue;
        }
        if (!copyService(service, to, result.reason)) return result;
    }
    if (kept.empty() ? !from.removeFile() : !from.replaceItems(kept)) {
        result.reason = "The secret file could not be updated.";
        return result;
    }
    result.ok = true;
    return result;
}

std::optional<SecretStoreConflict> secretStoreConflict() {
    std::lock_guard lock(gConflictMutex);
    return gConflict;
}

SecretStore::Kind installDefaultSecretStore(const std::string& servicePrefix) {
    std::string reason;
    auto fileStore = std::make_shared<FileSecretStore>();
    // Only the data folder's writer tidies or moves secrets: a command that only reads may run
    // beside the application, which may be writing the file this moment.
    const bool writer = DataFolderLock::heldHere();
    if (writer) removeAtomicWriteLeftovers(fileStore->path().parent_path());
    setConflict(std::nullopt);
    SecretServiceStore::Options options;
    options.servicePrefix = servicePrefix;
    if (auto service = SecretServiceStore::connect(options, &reason)) {
        std::shared_ptr<SecretStore> chosen = std::move(service);
        if (fileStore->fileExists() && !writer) {
            chosen = fileStore;  // it holds the newest items until the writer moves them
        } else if (fileStore->fileExists()) {
            const auto moved = moveSecrets(*fileStore, *chosen);
            if (!moved.ok) {
                // Keep working with the file until its items can move: it holds the newest ones.
                Log::store().error("Could not move secrets into the Secret Service: " + moved.reason);
                chosen = fileStore;
            } else if (!moved.conflicts.empty()) {
                std::string names;
                for (const auto& name : moved.conflicts) names += (names.empty() ? "\"" : ", \"") + name + "\"";
                Log::store().error("The Secret Service and the secret file hold different secrets for " + names +
                                   "; the Secret Service's are used and the file's stay in " +
                                   fileStore->path().string() + ".");
                setConflict(SecretStoreConflict{fileStore->path(), moved.conflicts});
            } else {
                Log::store().info("Secrets moved from the file store into the Secret Service.");
            }
        }
        if (chosen != fileStore) {
            // The start-up check repairs a marker lost or left over from before.
            if (writer)
                markKeyring(keyringMarker(*fileStore),
                            chosen->exists(MasterPassword::service, MasterPassword::verifierAccount).status);
            chosen = std::make_shared<MarkingStore>(std::move(chosen), keyringMarker(*fileStore));
        }
        SecretStore::setShared(chosen);
        return chosen->kind();
    }
    if (const fs::path marker = keyringMarker(*fileStore); present(marker)) {
        Log::store().error("The Secret Service that holds Korvel ID's master password does not answer (" + reason +
                           "); until it does, nothing that needs the password works. To keep secrets in a file "
                           "from now on instead, delete " + marker.string() + ".");
        SecretStore::setShared(nullptr);
        return SecretStore::Kind::unavailable;
    }
    Log::store().info("No Secret Service (" + reason + "); secrets are kept in " + fileStore->path().string());
    SecretStore::setShared(fileStore);
    return SecretStore::Kind::file;
}
