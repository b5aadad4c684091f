#pragma once
// Small value helpers shared by every store: byte buffers, Base64, UUIDs and timestamps.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

namespace Base64 {
// Standard alphabet, padded to a multiple of four characters.
std::string encode(std::span<const std::uint8_t> data);
// The same, appended to `out` (no temporary copy of the text).
void encodeAppending(std::span<const std::uint8_t> data, std::string& out);
// Strict: rejects characters outside the alphabet, bad padding and lengths not a multiple of four.
std::optional<Bytes> decode(std::string_view text);
}

// A 128-bit identifier, written as its canonical 36-character upper-case text.
struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    static Uuid random();  // version 4, from the kernel's random source
    static std::optional<Uuid> parse(std::string_view text);  // accepts either case
    std::string toString() const;  // upper case, hyphenated
    friend bool operator==(const Uuid&, const Uuid&) = default;
};

// Seconds since 2001-01-01 00:00:00 UTC, the reference date of every stored timestamp.
namespace Timestamp {
inline constexpr double unixOffset = 978307200.0;
double now();
// Milliseconds since 1970 for a stored date, held within ±100 million days: a file's 1e300 must not
// overflow the conversion.
std::int64_t unixMillis(double secondsSinceReference);
}

// Fills a buffer from the kernel's random source; false only if the kernel refuses.
bool secureRandomBytes(std::span<std::uint8_t> out);
