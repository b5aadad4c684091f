#include "MasterPassword.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "Face/FaceAttemptLimit.h"
#include "PasswordRules.h"
#include "Support/Async.h"
#include "Support/SecretStore.h"

namespace {

// --- Key derivation ---------------------------------------------------------------------------
//
// HMAC(K, m) = H((K0 ^ opad) || H((K0 ^ ipad) || m)). The padded key blocks are the same in every
// step, so their compressions are done once and each step resumes from the saved states. A step's
// message (32 bytes) and the inner digest (32 bytes) each fit one final block together with the
// SHA-256 padding, so a step is exactly two compressions. OpenSSL 3 exposes single compressions
// only through the low-level SHA256_* functions, which it marks deprecated; with EVP, resuming from
// a saved state means a context copy per half-step. Measured here (bench/vault_bench): this path
// takes 1.01-1.03 times the time of the bare compressions, EVP_MD_CTX_copy_ex about 2.8 times,
// one HMAC() call per step about 20 times.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

constexpr std::size_t kBlock = 64;
constexpr std::size_t kDigest = 32;

// A 64-byte block holding a 32-byte message that follows one already-compressed block: the message,
// the 0x80 end marker, zeros, and the bit length of 64 + 32 bytes.
struct FinalBlock {
    alignas(16) std::array<std::uint8_t, kBlock> bytes{};
    FinalBlock() {
        bytes[kDigest] = 0x80;
        const std::uint64_t bits = (kBlock + kDigest) * 8;
        for (int i = 0; i < 8; ++i) bytes[kBlock - 1 - std::size_t(i)] = std::uint8_t(bits >> (8 * i));
    }
    ~FinalBlock() { secureWipe(bytes); }
};

// The eight state words as the big-endian digest bytes. Written as two 16-byte stores: the next
// compression reads them with 16-byte loads, and byte-wise stores would stall those loads.
inline void digestOf(const std::uint32_t* h, std::uint8_t* out) {
#if defined(__SSE2__)
    for (int i = 0; i < 2; ++i) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h) + i);
        v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));  // swap bytes in each half-word
        v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);    // swap the half-words
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out) + i, v);
    }
#else
    for (std::size_t i = 0; i < 8; ++i) {
        const std::uint32_t w = h[i];
        out[4 * i] = std::uint8_t(w >> 24);
        out[4 * i + 1] = std::uint8_t(w >> 16);
        out[4 * i + 2] = std::uint8_t(w >> 8);
        out[4 * i + 3] = std::uint8_t(w);
    }
#endif
}

class HmacChain {
public:
    explicit HmacChain(std::span<const std::uint8_t> key) {
        std::array<std::uint8_t, kBlock> k0{};
        if (key.size() > kBlock) {
            SHA256(key.data(), key.size(), k0.data());
        } else if (!key.empty()) {
            std::memcpy(k0.data(), key.data(), key.size());
        }
        std::array<std::uint8_t, kBlock> pad{};
        for (std::size_t i = 0; i < kBlock; ++i) pad[i] = k0[i] ^ 0x36;
        SHA256_Init(&inner_);
        SHA256_Update(&inner_, pad.data(), kBlock);
        for (std::size_t i = 0; i < kBlock; ++i) pad[i] = k0[i] ^ 0x5c;
        SHA256_Init(&outer_);
        SHA256_Update(&outer_, pad.data(), kBlock);
        secureWipe(k0);
        secureWipe(pad);
        work_ = inner_;
    }
    HmacChain(const HmacChain&) = delete;
    HmacChain& operator=(const HmacChain&) = delete;
    ~HmacChain() {
        secureWipe(&inner_, sizeof inner_);
        secureWipe(&outer_, sizeof outer_);
        secureWipe(&work_, sizeof work_);
    }

    // B = HMAC(key, message) for a message of any length.
    void first(std::span<const std::uint8_t> message) {
        SHA256_CTX ctx = inner_;
        SHA256_Update(&ctx, message.data(), message.size());
        SHA256_Final(outerBlock_.bytes.data(), &ctx);
        secureWipe(&ctx, sizeof ctx);
        std::memcpy(work_.h, outer_.h, sizeof work_.h);
        SHA256_Transform(&work_, outerBlock_.bytes.data());
        digestOf(work_.h, innerBlock_.bytes.data());
    }

    // B = HMAC(key, B): two compressions, each resuming from a saved padded-key state.
    void step() {
        std::memcpy(work_.h, inner_.h, sizeof work_.h);
        SHA256_Transform(&work_, innerBlock_.bytes.data());
        digestOf(work_.h, outerBlock_.bytes.data());
        std::memcpy(work_.h, outer_.h, sizeof work_.h);
        SHA256_Transform(&work_, outerBlock_.bytes.data());
        digestOf(work_.h, innerBlock_.bytes.data());
    }

    std::span<const std::uint8_t, kDigest> value() const { return std::span(innerBlock_.bytes).first<kDigest>(); }

private:
    SHA256_CTX inner_{};
    SHA256_CTX outer_{};
    SHA256_CTX work_{};
    FinalBlock innerBlock_;  // B, the next step's message
    FinalBlock outerBlock_;  // the inner digest
};
#pragma GCC diagnostic pop

// --- Secret store -----------------------------------------------------------------------------

bool keychainExists(const char* account) {
    return SecretStore::shared()->exists(MasterPassword::service, account).found();
}

std::optional<Bytes> keychainData(const char* account) {
    auto r = SecretStore::shared()->lookup(MasterPassword::service, account);
    if (!r.found()) return std::nullopt;
    return std::move(r.value);
}

void deleteKeychain(const char* account) { (void)SecretStore::shared()->remove(MasterPassword::service, account); }

// The store replaces an existing item in one step. Deleting it first would leave a moment without
// it, and a crash in that moment would lose the password.
bool storeKeychain(const char* account, std::span<const std::uint8_t> data) {
    return SecretStore::shared()->store(MasterPassword::service, account, data).ok();
}

Bytes sha256(std::span<const std::uint8_t> data) {
    Bytes digest(kDigest);
    SHA256(data.data(), data.size(), digest.data());
    return digest;
}
}  // namespace

SymmetricKey MasterPassword::deriveKey(std::string_view password, std::span<const std::uint8_t> salt) {
    HmacChain chain(salt);
    chain.first(std::span(reinterpret_cast<const std::uint8_t*>(password.data()), password.size()));
    for (int i = 0; i < chainSteps; ++i) chain.step();
    return SymmetricKey(chain.value());
}

bool MasterPassword::constantTimeEquals(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    volatile std::uint8_t acc = 0;
    for (std::size_t i = 0; i < a.size(); ++i) acc = acc | std::uint8_t(a[i] ^ b[i]);
    return acc == 0;
}

namespace {
std::atomic<int> gWrongInARow{0};  // see wrongInARow(); a password set anew starts it over
std::atomic<std::int64_t> gLastWrongNs{0};  // steady clock of the last wrong password
}  // namespace

bool MasterPassword::isSet() { return keychainExists(saltAccount) && keychainExists(verifierAccount); }

MasterPassword::State MasterPassword::state() {
    const auto store = SecretStore::shared();
    const auto salt = store->exists(service, saltAccount).status;
    const auto verifier = store->exists(service, verifierAccount).status;
    using S = SecretLookup::Status;
    if (salt == S::found && verifier == S::found) return State::set;
    if (salt == S::notFound || verifier == S::notFound) return State::notSet;
    return State::unavailable;
}

bool MasterPassword::set(std::string_view password) { return setReturningKey(password).has_value(); }

std::optional<MasterPassword::NewPassword> MasterPassword::prepare(std::string_view password) {
    if (password.empty()) return std::nullopt;
    Bytes salt(saltLength);
    if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1) return std::nullopt;
    SymmetricKey key = deriveKey(password, salt);
    Bytes verifier = sha256(key.bytes());
    return NewPassword{Credential{std::move(salt), std::move(verifier)}, std::move(key)};
}

std::optional<SymmetricKey> MasterPassword::setReturningKey(std::string_view password) {
    auto prepared = prepare(password);
    if (!prepared || !restore(prepared->credential)) return std::nullopt;
    FaceAttemptLimit(FaceAttemptLimit::dataFolder()).passwordAccepted();
    return std::move(prepared->key);
}

bool MasterPassword::verify(std::string_view password) { return deriveKeyForVault(password).has_value(); }

int MasterPassword::wrongInARow() { return gWrongInARow.load(); }

std::chrono::milliseconds MasterPassword::retryWait() {
    using namespace std::chrono;
    const auto since = steady_clock::now().time_since_epoch() - nanoseconds(gLastWrongNs.load());
    const auto left = PasswordRules::retryDelay(gWrongInARow.load()) - duration_cast<milliseconds>(since);
    return std::max(left, milliseconds(0));
}

std::optional<SymmetricKey> MasterPassword::deriveKeyForVault(std::string_view password) {
    const auto pair = snapshot();
    if (!pair) return std::nullopt;
    SymmetricKey key = deriveKey(password, pair->salt);
    const Bytes digest = sha256(key.bytes());
    if (!constantTimeEquals(digest, pair->verifier)) {
        gLastWrongNs = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
        ++gWrongInARow;
        return std::nullopt;
    }
    gWrongInARow = 0;
    // Whoever knows the password may use face unlock again, whichever screen asked for it.
    FaceAttemptLimit(FaceAttemptLimit::dataFolder()).passwordAccepted();
    return key;
}

bool MasterPassword::isCurrentKey(const SymmetricKey& key) {
    const auto verifier = keychainData(verifierAccount);
    return verifier && constantTimeEquals(sha256(key.bytes()), *verifier);
}

std::optional<MasterPassword::Credential> MasterPassword::snapshot() {
    auto verifier = keychainData(verifierAccount);
    if (!verifier) return std::nullopt;
    // An interrupted change: the salt item may already hold the new salt, but while the verifier is
    // still the previous one, the previous salt is the one that belongs to it.
    if (auto previous = keychainData(previousAccount); previous && previous->size() == 2 * kDigest &&
        std::equal(previous->begin() + kDigest, previous->end(), verifier->begin(), verifier->end())) {
        previous->resize(saltLength);
        return Credential{std::move(*previous), std::move(*verifier)};
    }
    auto salt = keychainData(saltAccount);
    if (!salt) return std::nullopt;
    return Credential{std::move(*salt), std::move(*verifier)};
}

bool MasterPassword::restore(const Credential& credential) {
    if (const auto current = snapshot()) {
        Bytes previous = current->salt;
        previous.insert(previous.end(), current->verifier.begin(), current->verifier.end());
        if (!storeKeychain(previousAccount, previous)) return false;
    } else {
        // A stale pair could otherwise be taken for the one in force while the new one is written.
        deleteKeychain(previousAccount);
    }
    if (!storeKeychain(saltAccount, credential.salt)) return false;
    if (!storeKeychain(verifierAccount, credential.verifier)) return false;
    gWrongInARow = 0;
    // Left behind by a crash it would be harmless: its verifier no longer matches.
    deleteKeychain(previousAccount);
    return true;
}

void MasterPassword::reset() {
    gWrongInARow = 0;
    deleteKeychain(previousAccount);
    deleteKeychain(saltAccount);
    deleteKeychain(verifierAccount);
}

namespace {
// Moves the password into a self-wiping holder, which wipes what the moved-from string keeps.
SecretString takePassword(std::string& password) { return SecretString(std::move(password)); }
}  // namespace

QFuture<bool> MasterPassword::setFirstAsync(std::string password) {
    return Async::runDetached<bool>([p = takePassword(password)] { return state() == State::notSet && set(p.str()); });
}

QFuture<std::optional<MasterPassword::NewPassword>> MasterPassword::prepareAsync(std::string password) {
    return Async::runDetached<std::optional<NewPassword>>([p = takePassword(password)] { return prepare(p.str()); });
}

QFuture<bool> MasterPassword::verifyAsync(std::string password) {
    return Async::runDetached<bool>([p = takePassword(password)] { return verify(p.str()); });
}

QFuture<std::optional<SymmetricKey>> MasterPassword::deriveKeyForVaultAsync(std::string password) {
    return Async::runDetached<std::optional<SymmetricKey>>(
        [p = takePassword(password)] { return deriveKeyForVault(p.str()); });
}
