#include "Json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

JsonWriter& JsonWriter::beginObject() {
    separator();
    out_ += '{';
    needComma_ = false;
    return *this;
}

JsonWriter& JsonWriter::endObject() {
    out_ += '}';
    needComma_ = true;
    return *this;
}

JsonWriter& JsonWriter::beginArray() {
    separator();
    out_ += '[';
    needComma_ = false;
    return *this;
}

JsonWriter& JsonWriter::endArray() {
    out_ += ']';
    needComma_ = true;
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    string(name);
    out_ += ':';
    needComma_ = false;
    return *this;
}

void JsonWriter::separator() {
    if (needComma_) out_ += ',';
}

JsonWriter& JsonWriter::bytes(std::span<const std::uint8_t> value) {
    separator();
    out_ += '"';
    const std::size_t start = out_.size();
    Base64::encodeAppending(value, out_);
    // "/" is written as "\/" like in every other string; expanded in place, without a copy.
    const auto slashes = std::size_t(std::count(out_.begin() + std::ptrdiff_t(start), out_.end(), '/'));
    if (slashes > 0) {
        std::size_t from = out_.size();
        out_.resize(out_.size() + slashes);
        for (std::size_t to = out_.size(); from > start;) {
            const char c = out_[--from];
            out_[--to] = c;
            if (c == '/') out_[--to] = '\\';
        }
    }
    out_ += '"';
    needComma_ = true;
    return *this;
}

JsonWriter& JsonWriter::string(std::string_view value) {
    if (!Json::isValidUtf8(value)) return string(Json::validUtf8(value));
    separator();
    out_ += '"';
    for (const char ch : value) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': out_ += "\\\""; break;
        case '\\': out_ += "\\\\"; break;
        case '/': out_ += "\\/"; break;
        case '\b': out_ += "\\b"; break;
        case '\f': out_ += "\\f"; break;
        case '\n': out_ += "\\n"; break;
        case '\r': out_ += "\\r"; break;
        case '\t': out_ += "\\t"; break;
        default:
            if (c < 0x20) {
                static constexpr char hex[] = "0123456789abcdef";
                out_ += "\\u00";
                out_ += hex[c >> 4];
                out_ += hex[c & 15];
            } else {
                out_ += ch;
            }
        }
    }
    out_ += '"';
    needComma_ = true;
    return *this;
}

JsonWriter& JsonWriter::number(float value) {
    separator();
    out_ += Json::formatFloat(value);
    needComma_ = true;
    return *this;
}

JsonWriter& JsonWriter::number(double value) {
    separator();
    out_ += Json::formatDouble(value);
    needComma_ = true;
    return *this;
}

JsonWriter& JsonWriter::integer(std::int64_t value) {
    separator();
    out_ += std::to_string(value);
    needComma_ = true;
    return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
    separator();
    out_ += value ? "true" : "false";
    needComma_ = true;
    return *this;
}

namespace Json {
namespace {
// Length of the valid UTF-8 sequence at the start of `s`, or 0 when it is not one.
std::size_t validSequence(std::string_view s) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    if (c < 0x80) return 1;
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) len = 2;
    else if (c == 0xE0) len = 3, lo = 0xA0;
    else if (c == 0xED) len = 3, hi = 0x9F;  // no surrogates
    else if (c >= 0xE1 && c <= 0xEF) len = 3;
    else if (c == 0xF0) len = 4, lo = 0x90;
    else if (c >= 0xF1 && c <= 0xF3) len = 4;
    else if (c == 0xF4) len = 4, hi = 0x8F;  // nothing above U+10FFFF
    else return 0;
    if (s.size() < len || b(1) < lo || b(1) > hi) return 0;
    for (std::size_t i = 2; i < len; ++i)
        if (b(i) < 0x80 || b(i) > 0xBF) return 0;
    return len;
}

std::string quoted(std::string_view key) { return "\"" + std::string(key) + "\""; }

[[noreturn]] void typeMismatch(std::string_view key, std::string_view expected, const nlohmann::json& v) {
    throw JsonError("Expected " + std::string(expected) + " for " + quoted(key) + " but found " +
                    std::string(v.type_name()) + ".");
}

template <typename T>
std::string formatShortest(T value) {
    if (!std::isfinite(value)) throw JsonError("Cannot write a non-finite number.");
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    std::string s(buf, res.ptr);
    // "-0" would read back as the integer 0 and lose its sign.
    if (s == "-0") s = "-0.0";
    return s;
}
}  // namespace

bool isValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = validSequence(text.substr(i));
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string validUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = validSequence(text.substr(i));
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string formatFloat(float value) { return formatShortest(value); }
std::string formatDouble(double value) { return formatShortest(value); }

nlohmann::json parse(std::string_view text) {
    try {
        return nlohmann::json::parse(text.begin(), text.end());
    } catch (const nlohmann::json::exception& e) {
        throw JsonError(std::string("The data is not valid JSON: ") + e.what());
    }
}

nlohmann::json parse(std::span<const std::uint8_t> data) {
    return parse(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

const nlohmann::json& requireObject(const nlohmann::json& v, std::string_view what) {
    if (!v.is_object()) typeMismatch(what, "an object", v);
    return v;
}

const nlohmann::json& requireArray(const nlohmann::json& v, std::string_view what) {
    if (!v.is_array()) typeMismatch(what, "an array", v);
    return v;
}

const nlohmann::json& member(const nlohmann::json& object, std::string_view key) {
    const auto it = object.find(key);
    if (it == object.end()) throw JsonError("No value for key " + quoted(key) + ".");
    return *it;
}

const nlohmann::json* optionalMember(const nlohmann::json& object, std::string_view key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

double toDouble(const nlohmann::json& v, std::string_view key) {
    if (!v.is_number()) typeMismatch(key, "a number", v);
    const double d = v.get<double>();
    if (!std::isfinite(d)) throw JsonError("The number for " + quoted(key) + " is out of range.");
    return d;
}

float toFloat(const nlohmann::json& v, std::string_view key) {
    const double d = toDouble(v, key);
    // The parser kept only the nearest double; narrowing that rounds twice and can land one step
    // off. The double's shortest text equals the written text for up to 15 significant digits (a
    // float needs at most 9), so parsing that text as float rounds once, from the decimal.
    char buf[64];
    const auto text = std::to_chars(buf, buf + sizeof buf, d);
    float f = 0;
    const auto parsed = std::from_chars(buf, text.ptr, f);
    if (parsed.ec == std::errc::result_out_of_range) {
        // Below the smallest subnormal rounds to zero; above the largest float is refused below.
        f = std::fabs(d) < 1.0 ? std::copysign(0.0f, float(d)) : std::numeric_limits<float>::infinity();
    } else if (parsed.ec != std::errc()) {
        f = static_cast<float>(d);
    }
    if (!std::isfinite(f)) throw JsonError("The number for " + quoted(key) + " does not fit a 32-bit float.");
    return f;
}

std::int64_t toInt(const nlohmann::json& v, std::string_view key) {
    if (v.is_number_integer()) {
        if (v.is_number_unsigned() && v.get<std::uint64_t>() > std::uint64_t(std::numeric_limits<std::int64_t>::max()))
            throw JsonError("The number for " + quoted(key) + " does not fit a 64-bit integer.");
        return v.get<std::int64_t>();
    }
    if (v.is_number_float()) {
        const double d = v.get<double>();
        // 2.0 reads as 2; 2.5 or anything beyond the integer range does not.
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9.2233720368547758e18 && d < 9.2233720368547758e18)
            return static_cast<std::int64_t>(d);
        throw JsonError("The number for " + quoted(key) + " is not an integer.");
    }
    typeMismatch(key, "an integer", v);
}

bool toBool(const nlohmann::json& v, std::string_view key) {
    if (!v.is_boolean()) typeMismatch(key, "a boolean", v);
    return v.get<bool>();
}

std::string toString(const nlohmann::json& v, std::string_view key) {
    if (!v.is_string()) typeMismatch(key, "a string", v);
    return v.get<std::string>();
}

Uuid toUuid(const nlohmann::json& v, std::string_view key) {
    const auto text = toString(v, key);
    const auto u = Uuid::parse(text);
    if (!u) throw JsonError("Invalid UUID string for " + quoted(key) + ".");
    return *u;
}

Bytes toBytes(const nlohmann::json& v, std::string_view key) {
    const auto text = toString(v, key);
    auto b = Base64::decode(text);
    if (!b) throw JsonError("Invalid Base64 data for " + quoted(key) + ".");
    return std::move(*b);
}
}  // namespace Json
