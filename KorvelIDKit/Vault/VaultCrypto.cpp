#include "VaultCrypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {
std::string describe(CryptoError::Code code, std::int32_t status) {
    switch (code) {
    case CryptoError::Code::keychainFailure: return "Keychain error (" + std::to_string(status) + ").";
    case CryptoError::Code::noVaultKey: return "The vault has not been initialized.";
    case CryptoError::Code::wrongPassword: return "Incorrect password.";
    case CryptoError::Code::corrupted: return "The data is corrupted or was tampered with.";
    }
    return {};
}

// EVP lengths are ints; large buffers go through in pieces.
constexpr std::size_t kMaxPiece = std::size_t(1) << 30;

EVP_CIPHER_CTX* newContext(const SymmetricKey& key, const std::uint8_t* nonce, bool encrypting) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) throw CryptoError::corrupted();
    const int enc = encrypting ? 1 : 0;
    // The default IV length of GCM is the 12 bytes used here, so no separate length call.
    if (EVP_CipherInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.bytes().data(), nonce, enc) != 1) {
        EVP_CIPHER_CTX_free(ctx);
        throw CryptoError::corrupted();
    }
    return ctx;
}

void process(EVP_CIPHER_CTX* ctx, std::span<const std::uint8_t> in, std::uint8_t* out) {
    std::size_t done = 0;
    while (done < in.size()) {
        const std::size_t piece = std::min(kMaxPiece, in.size() - done);
        int written = 0;
        if (EVP_CipherUpdate(ctx, out + done, &written, in.data() + done, static_cast<int>(piece)) != 1 ||
            static_cast<std::size_t>(written) != piece)
            throw CryptoError::corrupted();
        done += piece;
    }
}
}  // namespace

CryptoError::CryptoError(Code code, std::int32_t status) : code_(code), status_(status), text_(describe(code, status)) {}

namespace VaultCrypto {

void CipherContextDeleter::operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }

SymmetricKey makeKey() { return SymmetricKey::random(); }

Sealer::Sealer(const SymmetricKey& key) {
    if (RAND_bytes(nonce_.data(), static_cast<int>(nonce_.size())) != 1) throw CryptoError::corrupted();
    ctx_.reset(newContext(key, nonce_.data(), true));
}

Sealer::Sealer(const SymmetricKey& key, const Nonce& nonce) : nonce_(nonce) {
    ctx_.reset(newContext(key, nonce_.data(), true));
}

void Sealer::update(std::span<const std::uint8_t> in, std::uint8_t* out) { process(ctx_.get(), in, out); }

Tag Sealer::finish() {
    int written = 0;
    std::uint8_t rest[16];
    if (EVP_EncryptFinal_ex(ctx_.get(), rest, &written) != 1 || written != 0) throw CryptoError::corrupted();
    Tag tag{};
    if (EVP_CIPHER_CTX_ctrl(ctx_.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(tag.size()), tag.data()) != 1)
        throw CryptoError::corrupted();
    return tag;
}

Opener::Opener(const SymmetricKey& key, std::span<const std::uint8_t, nonceLength> nonce)
    : ctx_(newContext(key, nonce.data(), false)) {}

void Opener::update(std::span<const std::uint8_t> in, std::uint8_t* out) { process(ctx_.get(), in, out); }

void Opener::finish(std::span<const std::uint8_t, tagLength> tag) {
    Tag copy{};
    std::copy(tag.begin(), tag.end(), copy.begin());
    int written = 0;
    std::uint8_t rest[16];
    if (EVP_CIPHER_CTX_ctrl(ctx_.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(copy.size()), copy.data()) != 1 ||
        EVP_DecryptFinal_ex(ctx_.get(), rest, &written) != 1 || written != 0)
        throw CryptoError::corrupted();
}

Bytes seal(std::span<const std::uint8_t> plaintext, const SymmetricKey& key, const Nonce& nonce) {
    Sealer sealer(key, nonce);
    Bytes box(plaintext.size() + overhead);
    std::copy(nonce.begin(), nonce.end(), box.begin());
    sealer.update(plaintext, box.data() + nonceLength);
    const Tag tag = sealer.finish();
    std::copy(tag.begin(), tag.end(), box.end() - tagLength);
    return box;
}

Bytes encrypt(std::span<const std::uint8_t> plaintext, const SymmetricKey& key) {
    Nonce nonce{};
    if (RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) != 1) throw CryptoError::corrupted();
    return seal(plaintext, key, nonce);
}

Bytes decrypt(std::span<const std::uint8_t> sealedBox, const SymmetricKey& key) {
    if (sealedBox.size() < overhead) throw CryptoError::corrupted();
    const auto ciphertext = sealedBox.subspan(nonceLength, sealedBox.size() - overhead);
    Bytes plaintext(ciphertext.size());
    try {
        Opener opener(key, sealedBox.first<nonceLength>());
        opener.update(ciphertext, plaintext.data());
        opener.finish(sealedBox.last<tagLength>());
    } catch (...) {
        secureWipe(plaintext);
        throw CryptoError::corrupted();
    }
    return plaintext;
}

Bytes wrap(const SymmetricKey& dek, const SymmetricKey& key) { return encrypt(dek.bytes(), key); }

SymmetricKey unwrap(std::span<const std::uint8_t> wrappedDEK, const SymmetricKey& key) {
    Bytes raw = decrypt(wrappedDEK, key);
    auto dek = SymmetricKey::fromBytes(raw);
    secureWipe(raw);
    if (!dek) throw CryptoError::corrupted();
    return *dek;
}
}  // namespace VaultCrypto
