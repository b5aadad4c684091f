// "index.json": decoding fails with JsonError or gives items that survive a write and a read.
// Each item is then opened and exported from a real unlocked vault: only the one blob that exists
// opens, no blob name reaches outside "blobs", and an export lands in "open" with the plaintext.
#include "FuzzSupport.h"
#include "Support/Json.h"
#include "Vault/VaultCrypto.h"
#include "Vault/VaultStore.h"

#include <algorithm>

namespace {
// Exports only when `exportCopy`: an export streams through a 1 MiB buffer, once per input is plenty.
void open(VaultStore& vault, const VaultItem& item, bool& exportCopy) {
    Bytes plain;
    try {
        plain = vault.decryptedData(item);
    } catch (const VaultError& e) {
        // Missing, or a size that does not fit the one blob there is.
        Fuzz::check(e.code() == VaultError::Code::itemNotFound || e.message() == VaultStore::blobMismatchMessage,
                    "index.json: opening failed with another error");
        return;
    } catch (const CryptoError& e) {
        Fuzz::check(e.code() == CryptoError::Code::corrupted, "index.json: opening failed with another error");
        return;
    }
    Fuzz::check(item.blobName == Fuzz::knownBlobName, "index.json: a blob name opened another file");
    Fuzz::check(std::ranges::equal(plain, Fuzz::sealedPlaintext()), "index.json: wrong plaintext");
    if (!exportCopy) return;
    exportCopy = false;
    try {
        const auto copy = vault.exportToTemp(item);
        Fuzz::check(copy.parent_path() == vault.scratchDir(), "index.json: an export left the scratch folder");
        Fuzz::check(std::ranges::equal(Fuzz::readFile(copy), plain), "index.json: the export differs");
    } catch (const FileError&) {
        // A name whose extension is longer than a file name may be.
    }
    vault.cleanupScratch();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<VaultItem> items;
    try {
        items = VaultIndex::decode({data, size});
    } catch (const JsonError&) {
        return 0;
    }
    const std::string written = VaultIndex::encode(items);
    try {
        const auto back =
            VaultIndex::decode(std::span(reinterpret_cast<const std::uint8_t*>(written.data()), written.size()));
        Fuzz::check(back == items, "index.json: items changed on their way through the file");
    } catch (const JsonError&) {
        Fuzz::fail("index.json: the reader refuses what the writer wrote");
    }
    VaultStore& vault = Fuzz::knownVault();
    bool exportCopy = true;
    for (std::size_t i = 0; i < std::min<std::size_t>(items.size(), 4); ++i) open(vault, items[i], exportCopy);
    return 0;
}
