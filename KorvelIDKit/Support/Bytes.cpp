#include "Bytes.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstdio>

namespace Base64 {
namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int valueOf(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}
}  // namespace

std::string encode(std::span<const std::uint8_t> data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    encodeAppending(data, out);
    return out;
}

void encodeAppending(std::span<const std::uint8_t> data, std::string& out) {
    std::size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        const std::uint32_t v = (std::uint32_t(data[i]) << 16) | (std::uint32_t(data[i + 1]) << 8) | data[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    const std::size_t rest = data.size() - i;
    if (rest == 1) {
        const std::uint32_t v = std::uint32_t(data[i]) << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (rest == 2) {
        const std::uint32_t v = (std::uint32_t(data[i]) << 16) | (std::uint32_t(data[i + 1]) << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
}

std::optional<Bytes> decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + std::size_t(k)];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad > 0) return std::nullopt;  // data after padding
            v[k] = valueOf(c);
            if (v[k] < 0) return std::nullopt;
        }
        const std::uint32_t n = (std::uint32_t(v[0]) << 18) | (std::uint32_t(v[1]) << 12) |
                                (std::uint32_t(v[2]) << 6) | std::uint32_t(v[3]);
        out.push_back(std::uint8_t(n >> 16));
        if (pad < 2) out.push_back(std::uint8_t(n >> 8));
        if (pad < 1) out.push_back(std::uint8_t(n));
    }
    return out;
}
}  // namespace Base64

bool secureRandomBytes(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += std::size_t(n);
    }
    return true;
}

Uuid Uuid::random() {
    Uuid u;
    if (!secureRandomBytes(u.bytes)) {
        // The kernel's generator does not fail once booted; fall back to a time-seeded value.
        const auto t = std::chrono::steady_clock::now().time_since_epoch().count();
        for (std::size_t i = 0; i < u.bytes.size(); ++i) u.bytes[i] = std::uint8_t(t >> ((i % 8) * 8));
    }
    u.bytes[6] = std::uint8_t((u.bytes[6] & 0x0F) | 0x40);
    u.bytes[8] = std::uint8_t((u.bytes[8] & 0x3F) | 0x80);
    return u;
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    Uuid u;
    std::size_t b = 0;
    for (std::size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        auto hex = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        const int hi = hex(text[i]);
        const int lo = hex(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        u.bytes[b++] = std::uint8_t(hi * 16 + lo);
        i += 2;
    }
    return u;
}

std::string Uuid::toString() const {
    char buf[37];
    std::snprintf(buf, sizeof buf,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9],
                  bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return buf;
}

std::int64_t Timestamp::unixMillis(double secondsSinceReference) {
    constexpr double limit = 8.64e15;
    const double ms = (secondsSinceReference + unixOffset) * 1000.0;
    if (std::isnan(ms)) return 0;
    return static_cast<std::int64_t>(std::clamp(ms, -limit, limit));
}

double Timestamp::now() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since).count() - unixOffset;
}
