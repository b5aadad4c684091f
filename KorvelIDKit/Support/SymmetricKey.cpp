#include "SymmetricKey.h"

#include <openssl/crypto.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <stdexcept>

void secureWipe(void* data, std::size_t size) {
    if (data && size > 0) OPENSSL_cleanse(data, size);
}

void secureWipe(Bytes& data) {
    data.resize(data.capacity());
    secureWipe(data.data(), data.size());
    data.clear();
}

void secureWipe(std::string& text) {
    // The small-string buffer counts as capacity too.
    text.resize(text.capacity());
    secureWipe(text.data(), text.size());
    text.clear();
}

SymmetricKey::SymmetricKey(std::span<const std::uint8_t, byteCount> bytes) {
    std::copy(bytes.begin(), bytes.end(), bytes_.begin());
}

std::optional<SymmetricKey> SymmetricKey::fromBytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != byteCount) return std::nullopt;
    return SymmetricKey(bytes.first<byteCount>());
}

SymmetricKey SymmetricKey::random() {
    std::array<std::uint8_t, byteCount> raw{};
    if (!secureRandomBytes(raw)) throw std::runtime_error("The system's random source failed.");
    SymmetricKey key(raw);
    secureWipe(raw);
    return key;
}

SymmetricKey::~SymmetricKey() { secureWipe(bytes_); }

bool operator==(const SymmetricKey& a, const SymmetricKey& b) {
    return CRYPTO_memcmp(a.bytes_.data(), b.bytes_.data(), SymmetricKey::byteCount) == 0;
}

ProtectedKey::ProtectedKey(const SymmetricKey& key) {
    pageSize_ = std::size_t(::sysconf(_SC_PAGESIZE));
    void* page = ::mmap(nullptr, pageSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) throw std::bad_alloc();
    page_ = page;
    // Both are best effort: without them the key is still wiped when it goes away.
    ::madvise(page_, pageSize_, MADV_DONTDUMP);
    locked_ = ::mlock(page_, pageSize_) == 0;
    key_ = new (page_) SymmetricKey(key);
}

ProtectedKey::~ProtectedKey() {
    key_->~SymmetricKey();
    secureWipe(page_, pageSize_);
    if (locked_) ::munlock(page_, pageSize_);
    ::munmap(page_, pageSize_);
}
