// "vault.json": decoding fails with JsonError or gives a header that survives a write and a read;
// the wrapped copies it holds open under the right key or fail as `corrupted`, whatever their length.
#include "FuzzSupport.h"
#include "Support/Json.h"
#include "Vault/VaultCrypto.h"
#include "Vault/VaultStore.h"

namespace {
void tryUnwrap(const std::optional<Bytes>& wrapped, const SymmetricKey& key) {
    if (!wrapped) return;
    try {
        const SymmetricKey dek = VaultCrypto::unwrap(*wrapped, key);
        Fuzz::check(dek == Fuzz::dataKey(), "vault.json: a wrapped copy opened to a key never sealed");
    } catch (const CryptoError& e) {
        Fuzz::check(e.code() == CryptoError::Code::corrupted, "vault.json: unwrap failed with another error");
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    VaultHeader header;
    try {
        header = VaultHeader::decode({data, size});
    } catch (const JsonError&) {
        return 0;
    }
    const std::string written = header.encode();
    try {
        const auto back = VaultHeader::decode(
            std::span(reinterpret_cast<const std::uint8_t*>(written.data()), written.size()));
        Fuzz::check(back == header, "vault.json: the header changed on its way through the file");
    } catch (const JsonError&) {
        Fuzz::fail("vault.json: the reader refuses what the writer wrote");
    }
    tryUnwrap(header.wrappedByPassword, Fuzz::passwordKey());
    tryUnwrap(header.wrappedByDevice, Fuzz::passwordKey());
    return 0;
}
