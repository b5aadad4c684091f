#pragma once
// The vault's cryptography: AES-256-GCM with a fresh random 96-bit nonce per sealing, a 128-bit
// tag and no additional data, stored in the combined layout nonce (12) ‖ ciphertext ‖ tag (16).
// The data key (DEK) is kept wrapped: sealed with the device key or the password key.
#include <openssl/types.h>

#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <string>

#include "Support/Bytes.h"
#include "Support/SymmetricKey.h"

class CryptoError : public std::exception {
public:
    enum class Code { keychainFailure, noVaultKey, wrongPassword, corrupted };

    static CryptoError keychainFailure(std::int32_t status) { return CryptoError(Code::keychainFailure, status); }
    static CryptoError noVaultKey() { return CryptoError(Code::noVaultKey); }
    static CryptoError wrongPassword() { return CryptoError(Code::wrongPassword); }
    static CryptoError corrupted() { return CryptoError(Code::corrupted); }

    Code code() const { return code_; }
    std::int32_t status() const { return status_; }
    // The message shown to the user.
    const std::string& description() const { return text_; }
    const char* what() const noexcept override { return text_.c_str(); }
    friend bool operator==(const CryptoError& a, const CryptoError& b) {
        return a.code_ == b.code_ && a.status_ == b.status_;
    }

private:
    explicit CryptoError(Code code, std::int32_t status = 0);
    Code code_;
    std::int32_t status_;
    std::string text_;
};

namespace VaultCrypto {
inline constexpr std::size_t nonceLength = 12;
inline constexpr std::size_t tagLength = 16;
inline constexpr std::size_t overhead = nonceLength + tagLength;  // a sealed box is this much longer
inline constexpr std::size_t wrappedKeyLength = SymmetricKey::byteCount + overhead;  // 60

using Nonce = std::array<std::uint8_t, nonceLength>;
using Tag = std::array<std::uint8_t, tagLength>;

SymmetricKey makeKey();

// The combined sealed box of `plaintext`.
Bytes encrypt(std::span<const std::uint8_t> plaintext, const SymmetricKey& key);
// The plaintext, only if the tag verifies; `corrupted` for anything else (too short, wrong key,
// any altered byte).
Bytes decrypt(std::span<const std::uint8_t> sealedBox, const SymmetricKey& key);
// The DEK's 32 bytes sealed under `key` (60 bytes).
Bytes wrap(const SymmetricKey& dek, const SymmetricKey& key);
// `corrupted` unless the box opens under `key` to exactly 32 bytes.
SymmetricKey unwrap(std::span<const std::uint8_t> wrappedDEK, const SymmetricKey& key);

// Sealing with a given nonce: only for known-answer tests. A nonce must never be used twice
// with one key; encrypt draws a fresh one.
Bytes seal(std::span<const std::uint8_t> plaintext, const SymmetricKey& key, const Nonce& nonce);

struct CipherContextDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const;
};

// Seals content that arrives in pieces; the result has the same layout as encrypt:
// nonce() ‖ every update's output ‖ finish().
class Sealer {
public:
    explicit Sealer(const SymmetricKey& key);  // fresh random nonce
    Sealer(const SymmetricKey& key, const Nonce& nonce);
    const Nonce& nonce() const { return nonce_; }
    // Writes in.size() bytes of ciphertext to `out`, which may be `in` itself.
    void update(std::span<const std::uint8_t> in, std::uint8_t* out);
    Tag finish();

private:
    std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter> ctx_;
    Nonce nonce_{};
};

// Opens a sealed box whose ciphertext arrives in pieces. The plaintext that update() produces is
// NOT authentic until finish() has returned: callers keep it away from users until then and
// discard it when finish() throws `corrupted`.
class Opener {
public:
    Opener(const SymmetricKey& key, std::span<const std::uint8_t, nonceLength> nonce);
    void update(std::span<const std::uint8_t> in, std::uint8_t* out);
    void finish(std::span<const std::uint8_t, tagLength> tag);

private:
    std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter> ctx_;
};
}  // namespace VaultCrypto
