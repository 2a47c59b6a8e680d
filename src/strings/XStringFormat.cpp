// The formatting engine of XStringW: printf-like, with "%@" for an XStringW argument.
//
// The engine collects a pending directive from "%" up to a conversion character. Text, character
// and "%@" directives are appended directly; a numeric directive is handed, whole, to the C
// runtime with exactly one argument. The runtime is given only well-formed conversions with
// bounded width and precision, and a bounded buffer, so no format a caller writes can make it
// overrun, read a second argument or call the invalid-parameter handler (which would end the
// process on Windows).

#include "strings/XStringW.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

// One numeric conversion yields at most this many characters (the buffer holds one more).
constexpr int kConversionChars = 256;
// Widths and precisions beyond this could only produce text that is cut anyway.
constexpr int kMaxFieldDigitsValue = kConversionChars - 1;

enum class Kind { None, Text, Character, Integer, Floating, XString };

Kind KindOf(wchar_t conversion)
{
    switch (conversion) {
    case L'@':
        return Kind::XString;
    case L's':
    case L'S':
        return Kind::Text;
    case L'c':
    case L'C':
        return Kind::Character;
    case L'd':
    case L'i':
    case L'u':
    case L'o':
    case L'x':
    case L'X':
        return Kind::Integer;
    case L'f':
    case L'F':
    case L'g':
    case L'G':
        return Kind::Floating;
    default:
        return Kind::None;
    }
}

bool IsDigit(wchar_t c)
{
    return c >= L'0' && c <= L'9';
}

// Reads a run of digits as a number, capped so that it cannot overflow.
int ReadNumber(const wchar_t* text, size_t& pos)
{
    int value = 0;
    while (IsDigit(text[pos])) {
        if (value <= kMaxFieldDigitsValue) {
            value = value * 10 + (text[pos] - L'0');
        }
        ++pos;
    }
    return value > kMaxFieldDigitsValue ? kMaxFieldDigitsValue : value;
}

// Parses "%[flags][width][.precision][length]conversion" at pos (on the "%"). On success returns
// a clean, bounded copy of it and moves pos past it; on failure leaves pos where parsing stopped
// and returns an empty spec.
std::wstring ParseSpec(const wchar_t* text, size_t& pos)
{
    ++pos;  // the "%"
    std::wstring spec = L"%";
    while (text[pos] == L'-' || text[pos] == L'+' || text[pos] == L' ' || text[pos] == L'#' ||
           text[pos] == L'0') {
        if (spec.find(text[pos]) == std::wstring::npos) {
            spec += text[pos];
        }
        ++pos;
    }
    if (IsDigit(text[pos])) {
        spec += std::to_wstring(ReadNumber(text, pos));
    }
    if (text[pos] == L'.') {
        ++pos;
        spec += L'.';
        spec += std::to_wstring(ReadNumber(text, pos));
    }
    // Length modifiers: "h" and "l" keep their meaning for a 32-bit argument; 64-bit ones
    // ("ll", "L", "I64", "j", ...) are dropped, since exactly one 32-bit value was consumed.
    bool shortInteger = false;
    for (;; ++pos) {
        const wchar_t c = text[pos];
        if (c == L'h') {
            shortInteger = true;
        } else if (c == L'l' || c == L'L' || c == L'j' || c == L'z' || c == L't' || c == L'w' ||
                   c == L'q') {
            // dropped
        } else if (c == L'I') {
            if ((text[pos + 1] == L'6' && text[pos + 2] == L'4') ||
                (text[pos + 1] == L'3' && text[pos + 2] == L'2')) {
                pos += 2;
            }
        } else {
            break;
        }
    }
    const Kind kind = KindOf(text[pos]);
    if (kind != Kind::Integer && kind != Kind::Floating) {
        return std::wstring();
    }
    if (shortInteger && kind == Kind::Integer) {
        spec += L'h';
    }
    // The runtime knows "f" for every value; "F" differs only for infinities and NaN.
    spec += text[pos] == L'F' ? L'f' : text[pos];
    ++pos;
    return spec;
}

template <typename Value>
void AppendConversion(XStringW& target, const std::wstring& spec, Value value)
{
    wchar_t buffer[kConversionChars];
    std::memset(buffer, 0, sizeof(buffer));
    // Bounded and truncating: a result longer than the buffer is cut, never overrun.
    _snwprintf(buffer, kConversionChars - 1, spec.c_str(), value);
    target += buffer;
}

// Appends the pending numeric directive for one argument: "%%" prints "%", literal text between
// stays, and the one well-formed conversion at its end receives the value.
template <typename Value>
void AppendNumeric(XStringW& target, const wchar_t* directive, Value value)
{
    size_t pos = 0;
    while (directive[pos] != 0) {
        if (directive[pos] != L'%') {
            const wchar_t literal[2] = {directive[pos], 0};
            target += literal;
            ++pos;
        } else if (directive[pos + 1] == L'%') {
            target += L"%";
            pos += 2;
        } else {
            const std::wstring spec = ParseSpec(directive, pos);
            if (!spec.empty()) {
                AppendConversion(target, spec, value);
            } else if (directive[pos] != 0) {
                ++pos;  // a malformed conversion prints nothing up to here
            }
        }
    }
}

}  // namespace

XStringW& XStringW::AppendFormatRaw(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    AppendFormatV(format, args);
    va_end(args);
    return *this;
}

XStringW& XStringW::AppendFormatV(const wchar_t* format, va_list args)
{
    if (format == nullptr) {
        return *this;
    }
    std::wstring pending;
    bool open = false;
    for (const wchar_t* cursor = format; *cursor != 0; ++cursor) {
        wchar_t c = *cursor;
        if (c == L'%') {
            open = true;
            pending += c;
            c = *++cursor;
            if (c == 0) {
                break;  // a "%" at the very end ends the formatting
            }
        } else if (!open) {
            const wchar_t literal[2] = {c, 0};
            *this += literal;
            continue;
        }

        pending += c;
        const Kind kind = KindOf(c);
        switch (kind) {
        case Kind::None:
            continue;  // the directive stays open
        case Kind::XString: {
            const XStringW* text = va_arg(args, const XStringW*);
            if (text != nullptr) {
                *this += text->GetString();
            }
            break;
        }
        case Kind::Text: {
            const wchar_t* text = va_arg(args, const wchar_t*);
            *this += text;
            break;
        }
        case Kind::Character: {
            const wchar_t character = static_cast<wchar_t>(va_arg(args, int) & 0xFFFF);
            AppendBytes(&character, static_cast<int>(sizeof(character)));
            break;
        }
        case Kind::Integer:
            AppendNumeric(*this, pending.c_str(), va_arg(args, int));
            break;
        case Kind::Floating:
            AppendNumeric(*this, pending.c_str(), va_arg(args, double));
            break;
        }
        open = false;
        pending.clear();
    }
    return *this;
}
