// The sealed-box opener (whole boxes and wrapped keys). The first byte picks a check:
//  0: the rest is a box from disk: it opens only to what was sealed, otherwise `corrupted`;
//  1: the rest is a plaintext: sealed and opened it comes back, and a box altered in any one bit
//     (chosen by the input) or cut short never opens.
#include "FuzzSupport.h"
#include "Vault/VaultCrypto.h"

#include <algorithm>

namespace {
bool opens(std::span<const std::uint8_t> box, const SymmetricKey& key, Bytes* out = nullptr) {
    try {
        Bytes plain = VaultCrypto::decrypt(box, key);
        if (out) *out = std::move(plain);
        return true;
    } catch (const CryptoError& e) {
        Fuzz::check(e.code() == CryptoError::Code::corrupted, "sealed box: failed with another error");
        return false;
    }
}

void fromDisk(std::span<const std::uint8_t> box) {
    Bytes plain;
    if (opens(box, Fuzz::dataKey(), &plain))
        Fuzz::check(box.size() == plain.size() + VaultCrypto::overhead, "sealed box: wrong plaintext length");
    try {
        (void)VaultCrypto::unwrap(box, Fuzz::passwordKey());
    } catch (const CryptoError& e) {
        Fuzz::check(e.code() == CryptoError::Code::corrupted, "wrapped key: failed with another error");
    }
}

void roundTrip(std::span<const std::uint8_t> input) {
    VaultCrypto::Nonce nonce{};
    std::copy_n(input.begin(), std::min(input.size(), nonce.size()), nonce.begin());
    const Bytes box = VaultCrypto::seal(input, Fuzz::dataKey(), nonce);
    Fuzz::check(box.size() == input.size() + VaultCrypto::overhead, "sealed box: wrong box length");
    Bytes plain;
    Fuzz::check(opens(box, Fuzz::dataKey(), &plain) && std::ranges::equal(plain, input),
                "sealed box: does not open to what was sealed");
    Fuzz::check(!opens(box, Fuzz::passwordKey()), "sealed box: opens under another key");
    std::size_t bit = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(input.size(), 4); ++i) bit = bit << 8 | input[input.size() - 1 - i];
    Bytes altered = box;
    altered[(bit / 8) % altered.size()] ^= std::uint8_t(1u << (bit % 8));
    Fuzz::check(!opens(altered, Fuzz::dataKey()), "sealed box: an altered box opens");
    Fuzz::check(!opens(std::span(box).first(bit % box.size()), Fuzz::dataKey()), "sealed box: a cut box opens");
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    if (data[0] & 1) roundTrip(rest);
    else fromDisk(rest);
    return 0;
}
