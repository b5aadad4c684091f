#include "SecretStores.h"

#include <algorithm>

#include "FileSecretStore.h"
#include "SecretServiceStore.h"
#include "Support/Logger.h"

bool moveSecrets(FileSecretStore& from, SecretStore& to, std::string* reason) {
    std::string why;
    const auto items = from.allItems(&why);
    if (!items) {
        if (reason) *reason = why;
        return false;
    }
    for (const auto& item : *items) {
        const auto written = to.store(item.service, item.account, item.value);
        if (!written.ok()) {
            if (reason) *reason = written.reason;
            return false;
        }
        const auto back = to.lookup(item.service, item.account);
        if (!back.found() || !std::ranges::equal(back.value, item.value)) {
            if (reason) *reason = "The Secret Service did not keep \"" + item.service + "\" \"" + item.account + "\".";
            return false;
        }
    }
    if (!from.removeFile()) {
        if (reason) *reason = "The secret file could not be deleted.";
        return false;
    }
    return true;
}

SecretStore::Kind installDefaultSecretStore() {
    std::string reason;
    auto fileStore = std::make_shared<FileSecretStore>();
    if (auto service = SecretServiceStore::connect(&reason)) {
        std::shared_ptr<SecretStore> chosen = std::move(service);
        if (fileStore->fileExists()) {
            std::string why;
            if (moveSecrets(*fileStore, *chosen, &why)) {
                Log::store().info("Secrets moved from the file store into the Secret Service.");
            } else {
                // Keep working with the file until its items can move: it holds the newest ones.
                Log::store().error("Could not move secrets into the Secret Service: " + why);
                chosen = fileStore;
            }
        }
        SecretStore::setShared(chosen);
        return chosen->kind();
    }
    Log::store().info("No Secret Service (" + reason + "); secrets are kept in " + fileStore->path().string());
    SecretStore::setShared(fileStore);
    return SecretStore::Kind::file;
}
