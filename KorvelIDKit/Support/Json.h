#pragma once
// JSON as every store writes and reads it. Output is compact, keys stay in the order written,
// "/" is escaped as "\/", 32-bit floats use the shortest text that reads back to the same float.
// Reading goes through nlohmann::json and a few typed accessors that turn every mismatch into a
// JsonError with a readable message, so callers can decode defensively.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Bytes.h"

class JsonError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class JsonWriter {
public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    JsonWriter& key(std::string_view name);

    // Text that is not valid UTF-8 (a file name from an old disk) is written with each invalid
    // sequence replaced by U+FFFD: the output is always JSON our reader accepts. Callers that must
    // keep such bytes exactly store them with bytes() as well.
    JsonWriter& string(std::string_view value);
    JsonWriter& number(float value);   // throws JsonError for NaN and infinities
    JsonWriter& number(double value);  // throws JsonError for NaN and infinities
    JsonWriter& integer(std::int64_t value);
    JsonWriter& boolean(bool value);
    JsonWriter& uuid(const Uuid& value) { return string(value.toString()); }
    // Written straight into the output, so secret values leave no temporary text behind.
    JsonWriter& bytes(std::span<const std::uint8_t> value);
    JsonWriter& date(double secondsSinceReference) { return number(secondsSinceReference); }

    // Reserves room up front; a writer of secrets sizes it so that no reallocation leaves a copy.
    JsonWriter& reserve(std::size_t capacity) {
        out_.reserve(capacity);
        return *this;
    }
    const std::string& str() const { return out_; }
    std::string take() { return std::move(out_); }

private:
    void separator();
    std::string out_;
    bool needComma_ = false;
};

namespace Json {
// Parses a whole document. Throws JsonError (with the parser's reason) for anything that is not JSON.
nlohmann::json parse(std::string_view text);
nlohmann::json parse(std::span<const std::uint8_t> data);

const nlohmann::json& requireObject(const nlohmann::json& v, std::string_view what);
const nlohmann::json& requireArray(const nlohmann::json& v, std::string_view what);
// The member, or JsonError naming the missing key.
const nlohmann::json& member(const nlohmann::json& object, std::string_view key);
// The member, or nullptr when the key is absent. A present null counts as absent.
const nlohmann::json* optionalMember(const nlohmann::json& object, std::string_view key);

// A number that fits a 32-bit float, rounded once from its decimal text (not via double).
float toFloat(const nlohmann::json& v, std::string_view key);
double toDouble(const nlohmann::json& v, std::string_view key);  // any finite number
std::int64_t toInt(const nlohmann::json& v, std::string_view key);  // integral number in range
bool toBool(const nlohmann::json& v, std::string_view key);
std::string toString(const nlohmann::json& v, std::string_view key);
Uuid toUuid(const nlohmann::json& v, std::string_view key);
Bytes toBytes(const nlohmann::json& v, std::string_view key);  // padded standard Base64

// Strict UTF-8 (no overlong forms, surrogates or code points above U+10FFFF), as the reader wants.
bool isValidUtf8(std::string_view text);
// The text with each invalid sequence replaced by U+FFFD.
std::string validUtf8(std::string_view text);

// Shortest round-trip text of a float or double, as written into files.
std::string formatFloat(float value);
std::string formatDouble(double value);
}  // namespace Json
