// JSON as duvo-compare reads it back: the reports of shards merged into one.
// Objects keep their members in the order they came, so that a report read
// and written again reads the same.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace duvo::cli {

struct JsonValue;
struct JsonMember;
// A vector of a type still incomplete here is allowed; a pair of one is not.
using JsonMembers = std::vector<JsonMember>;
using JsonItems = std::vector<JsonValue>;

struct JsonValue {
    // Numbers keep their text, so that no digit of a percentage is lost.
    struct Number {
        std::string text;
    };
    std::variant<std::nullptr_t, bool, Number, std::string, JsonItems, JsonMembers> value;

    bool IsNull() const { return value.index() == 0; }
    // A member of an object, or nullptr.
    const JsonValue* Find(const std::string& key) const;
    // Typed views; a value of another type gives the fallback.
    std::string String(const std::string& fallback = {}) const;
    std::uint64_t Unsigned(std::uint64_t fallback = 0) const;
    double Double(double fallback = 0) const;
    bool Bool(bool fallback = false) const;
    const JsonItems& Items() const;
};

struct JsonMember {
    std::string key;
    JsonValue value;
};

// EUsageError (naming source) for text that is not one JSON value.
JsonValue ParseJson(const std::string& text, const std::string& source);

// Writes the value back, objects and arrays on one line.
std::string WriteJson(const JsonValue& value);

}  // namespace duvo::cli
