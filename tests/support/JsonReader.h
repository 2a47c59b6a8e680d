#pragma once
// A strict reader of one JSON document, for tests of the product's JSON output: it refuses
// trailing text, comments and an object that names a member twice.

#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct JsonValue {
    enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
    Kind kind = Kind::kNull;
    bool boolean = false;
    std::string number;  // as written
    std::wstring text;   // \uXXXX escapes decoded
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;
    std::vector<std::string> memberOrder;

    bool IsNull() const { return kind == Kind::kNull; }
    bool Has(const std::string& name) const { return members.count(name) != 0; }
    // The member, or a null value when there is none.
    const JsonValue& operator[](const std::string& name) const;
};

// Parses the whole text; false with the reason and its byte offset in error when it is no
// single, well-formed JSON document.
bool ParseJson(const std::string& text, JsonValue& value, std::string& error);

}  // namespace testing_support
