#include "JsonReader.h"

#include <cstdlib>
#include <cstring>

namespace testing_support {

namespace {

class Reader {
public:
    explicit Reader(const std::string& text) : text_(text) {}

    bool Document(JsonValue& value)
    {
        return Value(value) && (SkipBlanks(), at_ == text_.size() || Fail("text after the document"));
    }
    const std::string& Error() const { return error_; }

private:
    bool Fail(const std::string& reason)
    {
        if (error_.empty()) {
            error_ = reason + " at offset " + std::to_string(at_);
        }
        return false;
    }
    void SkipBlanks()
    {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\r' || text_[at_] == '\n')) {
            ++at_;
        }
    }
    bool Take(char c)
    {
        SkipBlanks();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool Word(const char* word)
    {
        const std::string w(word);
        if (text_.compare(at_, w.size(), w) != 0) {
            return Fail("unknown word");
        }
        at_ += w.size();
        return true;
    }

    bool Value(JsonValue& value)
    {
        SkipBlanks();
        if (at_ >= text_.size()) {
            return Fail("end of text where a value belongs");
        }
        const char c = text_[at_];
        if (c == '{') {
            return Object(value);
        }
        if (c == '[') {
            return Array(value);
        }
        if (c == '"') {
            value.kind = JsonValue::Kind::kString;
            return String(value.text);
        }
        if (c == 't' || c == 'f') {
            value.kind = JsonValue::Kind::kBool;
            value.boolean = c == 't';
            return Word(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            value.kind = JsonValue::Kind::kNull;
            return Word("null");
        }
        return Number(value);
    }

    bool Number(JsonValue& value)
    {
        const size_t begin = at_;
        if (text_[at_] == '-') {
            ++at_;
        }
        while (at_ < text_.size() && std::strchr("0123456789.eE+-", text_[at_]) != nullptr) {
            ++at_;
        }
        value.kind = JsonValue::Kind::kNumber;
        value.number = text_.substr(begin, at_ - begin);
        if (value.number.empty() || value.number == "-" ||
            (value.number.size() > 1 && value.number[0] == '0' && value.number[1] != '.')) {
            return Fail("malformed number");
        }
        return true;
    }

    bool Hex4(unsigned& unit)
    {
        if (at_ + 4 > text_.size()) {
            return Fail("short \\u escape");
        }
        const std::string digits = text_.substr(at_, 4);
        char* end = nullptr;
        unit = static_cast<unsigned>(std::strtoul(digits.c_str(), &end, 16));
        if (end != digits.c_str() + 4) {
            return Fail("malformed \\u escape");
        }
        at_ += 4;
        return true;
    }

    bool String(std::wstring& out)
    {
        ++at_;  // the opening quote
        for (;;) {
            if (at_ >= text_.size()) {
                return Fail("unterminated string");
            }
            const unsigned char c = static_cast<unsigned char>(text_[at_++]);
            if (c == '"') {
                return true;
            }
            if (c < 0x20) {
                return Fail("raw control character in a string");
            }
            if (c != '\\') {
                out += static_cast<wchar_t>(c);  // the tests insist on ASCII separately
                continue;
            }
            if (at_ >= text_.size()) {
                return Fail("unterminated escape");
            }
            const char e = text_[at_++];
            const char* const simple = "\"\\/bfnrt";
            const wchar_t meaning[] = {L'"', L'\\', L'/', L'\b', L'\f', L'\n', L'\r', L'\t'};
            const char* found = std::strchr(simple, e);
            if (found != nullptr && e != '\0') {
                out += meaning[found - simple];
            } else if (e == 'u') {
                unsigned unit = 0;
                if (!Hex4(unit)) {
                    return false;
                }
                out += static_cast<wchar_t>(unit);
            } else {
                return Fail("unknown escape");
            }
        }
    }

    bool Array(JsonValue& value)
    {
        ++at_;
        value.kind = JsonValue::Kind::kArray;
        if (Take(']')) {
            return true;
        }
        do {
            value.items.emplace_back();
            if (!Value(value.items.back())) {
                return false;
            }
        } while (Take(','));
        return Take(']') || Fail("expected , or ]");
    }

    bool Object(JsonValue& value)
    {
        ++at_;
        value.kind = JsonValue::Kind::kObject;
        if (Take('}')) {
            return true;
        }
        do {
            SkipBlanks();
            if (at_ >= text_.size() || text_[at_] != '"') {
                return Fail("expected a member name");
            }
            std::wstring wideName;
            if (!String(wideName)) {
                return false;
            }
            const std::string name(wideName.begin(), wideName.end());
            if (value.members.count(name) != 0) {
                return Fail("member \"" + name + "\" named twice");
            }
            if (!Take(':')) {
                return Fail("expected :");
            }
            value.memberOrder.push_back(name);
            if (!Value(value.members[name])) {
                return false;
            }
        } while (Take(','));
        return Take('}') || Fail("expected , or }");
    }

    const std::string& text_;
    size_t at_ = 0;
    std::string error_;
};

}  // namespace

const JsonValue& JsonValue::operator[](const std::string& name) const
{
    static const JsonValue none;
    const auto found = members.find(name);
    return found == members.end() ? none : found->second;
}

bool ParseJson(const std::string& text, JsonValue& value, std::string& error)
{
    Reader reader(text);
    value = JsonValue();
    const bool parsed = reader.Document(value);
    error = reader.Error();
    return parsed;
}

}  // namespace testing_support
