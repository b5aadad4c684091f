#pragma once
// A 256-bit symmetric key that wipes its bytes when it goes away, and helpers that wipe other
// buffers holding secrets (passwords, decrypted key bytes).
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "Bytes.h"

// Overwrites the memory in a way the optimiser cannot drop.
void secureWipe(void* data, std::size_t size);
inline void secureWipe(std::span<std::uint8_t> data) { secureWipe(data.data(), data.size()); }
// Wipes the whole capacity, not only the current size, then empties the container.
void secureWipe(Bytes& data);
void secureWipe(std::string& text);

class SymmetricKey {
public:
    static constexpr std::size_t byteCount = 32;

    explicit SymmetricKey(std::span<const std::uint8_t, byteCount> bytes);
    // Nothing unless `bytes` holds exactly 32 bytes.
    static std::optional<SymmetricKey> fromBytes(std::span<const std::uint8_t> bytes);
    // 32 bytes from the kernel's random source; throws std::runtime_error if it refuses.
    static SymmetricKey random();

    SymmetricKey(const SymmetricKey&) = default;
    SymmetricKey& operator=(const SymmetricKey&) = default;
    ~SymmetricKey();

    std::span<const std::uint8_t, byteCount> bytes() const { return bytes_; }

    // Compares without an early exit.
    friend bool operator==(const SymmetricKey& a, const SymmetricKey& b);

private:
    std::array<std::uint8_t, byteCount> bytes_{};
};

// A string that wipes itself; used to carry typed passwords into worker threads. Moving a short
// string copies its bytes and leaves them in the source object, so every move wipes the source.
class SecretString {
public:
    SecretString() = default;
    explicit SecretString(std::string&& text) : text_(std::move(text)) { secureWipe(text); }
    SecretString(const SecretString&) = default;
    SecretString(SecretString&& other) noexcept : text_(std::move(other.text_)) { secureWipe(other.text_); }
    SecretString& operator=(const SecretString& other) {
        if (this != &other) {
            secureWipe(text_);
            text_ = other.text_;
        }
        return *this;
    }
    SecretString& operator=(SecretString&& other) noexcept {
        if (this != &other) {
            secureWipe(text_);
            text_ = std::move(other.text_);
            secureWipe(other.text_);
        }
        return *this;
    }
    ~SecretString() { secureWipe(text_); }
    const std::string& str() const { return text_; }

private:
    std::string text_;
};

// A key held for a long time (the vault's data key while unlocked): it lives alone on a page that
// is left out of core dumps (MADV_DONTDUMP) and locked in memory when RLIMIT_MEMLOCK allows, so
// it is neither dumped nor swapped. Wiped and unmapped when it goes away.
class ProtectedKey {
public:
    explicit ProtectedKey(const SymmetricKey& key);
    ProtectedKey(const ProtectedKey&) = delete;
    ProtectedKey& operator=(const ProtectedKey&) = delete;
    ~ProtectedKey();

    const SymmetricKey& key() const { return *key_; }
    bool isLocked() const { return locked_; }  // mlock succeeded

private:
    void* page_ = nullptr;
    std::size_t pageSize_ = 0;
    SymmetricKey* key_ = nullptr;
    bool locked_ = false;
};

// An allocator that wipes memory before giving it back; containers of secret text use it so that
// no reallocation leaves an unwiped copy (the parser's token buffer, decoded Base64 text).
template <typename T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <typename U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        secureWipe(p, n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }
    template <typename U>
    friend bool operator==(const WipingAllocator&, const WipingAllocator<U>&) noexcept { return true; }
};
