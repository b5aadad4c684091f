// The streamed-blob opener: any bytes in a blob file of a real unlocked vault. Opening into memory
// and exporting to a file agree: both succeed with the same plaintext, or both fail, and a failed
// export leaves nothing in the scratch folder.
#include "FuzzSupport.h"
#include "Vault/VaultCrypto.h"
#include "Vault/VaultStore.h"

#include <algorithm>

namespace {
bool isEmpty(const std::filesystem::path& dir) {
    return std::filesystem::directory_iterator(dir) == std::filesystem::directory_iterator();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    VaultStore& vault = Fuzz::knownVault();
    VaultItem item;
    item.name = "fuzzed.bin";
    item.blobName = "00000000-0000-4000-8000-00000000F022";
    // The entry records the plaintext size the blob's length implies, as a real entry would.
    item.byteCount = std::int64_t(size > VaultCrypto::overhead ? size - VaultCrypto::overhead : 0);
    Fuzz::writeFile(vault.blobsDir() / item.blobName, {data, size});

    Bytes plain;
    bool opened = false;
    try {
        plain = vault.decryptedData(item);
        opened = true;
        Fuzz::check(plain.size() + VaultCrypto::overhead == size, "blob: wrong plaintext length");
    } catch (const CryptoError& e) {
        Fuzz::check(e.code() == CryptoError::Code::corrupted, "blob: failed with another error");
    } catch (const VaultError& e) {
        Fuzz::check(e.message() == VaultStore::blobMismatchMessage, "blob: failed with another error");
    }
    // The export streams through a 1 MiB piece buffer that dominates the cost of a run; both openers
    // share the blob reader, so every eighth input (chosen by content, so runs stay reproducible)
    // is enough to hold them to the same answers.
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
    if (hash % 8 != 0 && !opened) return 0;
    try {
        const auto copy = vault.exportToTemp(item);
        Fuzz::check(opened, "blob: an export succeeded where opening failed");
        Fuzz::check(std::ranges::equal(Fuzz::readFile(copy), plain), "blob: the export differs from the plaintext");
        vault.cleanupScratch();
    } catch (const CryptoError& e) {
        Fuzz::check(!opened, "blob: an export failed where opening succeeded");
        Fuzz::check(e.code() == CryptoError::Code::corrupted, "blob: export failed with another error");
    } catch (const VaultError& e) {
        Fuzz::check(!opened, "blob: an export failed where opening succeeded");
        Fuzz::check(e.message() == VaultStore::blobMismatchMessage, "blob: export failed with another error");
    }
    Fuzz::check(isEmpty(vault.scratchDir()), "blob: a failed export left a file behind");
    return 0;
}
