#pragma once
// A 256-bit symmetric key that wipes its bytes when it goes away, and helpers that wipe other
// buffers holding secrets (passwords, decrypted key bytes).
#include <array>
#include <cstddef>
#include <cstdint>
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

// A string that wipes itself; used to carry typed passwords into worker threads.
class SecretString {
public:
    SecretString() = default;
    explicit SecretString(std::string text) : text_(std::move(text)) {}
    SecretString(const SecretString&) = default;
    SecretString& operator=(const SecretString&) = default;
    ~SecretString() { secureWipe(text_); }
    const std::string& str() const { return text_; }

private:
    std::string text_;
};
