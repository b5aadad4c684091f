#include "SecretStores.h"

#include <algorithm>
#include <mutex>

#include "FileSecretStore.h"
#include "SecretServiceStore.h"
#include "Support/DataFolderLock.h"
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
        SecretStore::setShared(chosen);
        return chosen->kind();
    }
    Log::store().info("No Secret Service (" + reason + "); secrets are kept in " + fileStore->path().string());
    SecretStore::setShared(fileStore);
    return SecretStore::Kind::file;
}
