// The formatting engine of XStringW: walks the format itself, appends literal text one character
// at a time, and hands each numeric directive with its one argument to the C runtime.

#include "strings/XStringW.h"

#include <windows.h>

#include <cstdio>  // _snprintf_s
#include <cstring>

namespace {

// Output of one numeric directive, terminator included.
constexpr int kConversionChars = 256;
// Width and precision above this are refused: no output of that size survives the cut at
// kConversionChars - 1 anyway, and the runtime would pad a huge width character by character.
constexpr int kMaxFieldSize = 999;

enum class ArgumentKind { None, Text, WideString, Character, Integer, Floating };

ArgumentKind KindOf(wchar_t conversion)
{
    switch (conversion) {
    case L'@':
        return ArgumentKind::Text;
    case L's':
    case L'S':
        return ArgumentKind::WideString;
    case L'c':
    case L'C':
        return ArgumentKind::Character;
    case L'd':
    case L'i':
    case L'u':
    case L'o':
    case L'x':
    case L'X':
        return ArgumentKind::Integer;
    case L'f':
    case L'F':
    case L'g':
    case L'G':
        return ArgumentKind::Floating;
    default:
        return ArgumentKind::None;
    }
}

// A numeric directive split into the text that printf would copy literally (the run a "%%"
// absorbed, with each "%%" read as "%") and at most one conversion, which ends the directive.
struct NumericDirective {
    wchar_t literal[kConversionChars] = {};
    int literalLength = 0;
    char conversion[24] = {};  // "%" flags width .precision modifier type; empty when none
};

bool IsDigit(wchar_t c)
{
    return c >= L'0' && c <= L'9';
}

void AddNarrow(char* target, int& used, char c)
{
    target[used++] = c;
}

// Reads a decimal field (width or precision) at position; false when it exceeds kMaxFieldSize.
bool ReadField(const wchar_t* text, int count, int& position, int& value)
{
    value = 0;
    while (position < count && IsDigit(text[position])) {
        value = value * 10 + (text[position] - L'0');
        if (value > kMaxFieldSize) {
            return false;
        }
        ++position;
    }
    return true;
}

// Writes a width or precision (0 to kMaxFieldSize) in decimal.
static_assert(kMaxFieldSize <= 999, "AddField writes at most three digits");
void AddField(char* target, int& used, int value)
{
    bool leading = true;
    for (int divisor = 100; divisor > 0; divisor /= 10) {
        const int digit = value / divisor % 10;
        leading = leading && digit == 0 && divisor > 1;
        if (!leading) {
            AddNarrow(target, used, static_cast<char>('0' + digit));
        }
    }
}

// Parses the conversion that starts at the "%" at position. It is accepted only when it is a
// plain flags-width-precision-type conversion whose type is the directive's last character: the
// runtime then consumes exactly the one argument the engine hands it, whatever the absorbed text
// held ("%n", "%s", "*" or "I64" there would read or write through arguments that do not exist).
bool ParseConversion(const wchar_t* text, int count, int position, char* conversion)
{
    int used = 0;
    AddNarrow(conversion, used, '%');
    ++position;
    static const char kFlags[] = "-+ #0";
    bool seen[sizeof kFlags] = {};
    for (; position < count; ++position) {
        const char* flag = text[position] < 0x80 && text[position] != 0
                               ? std::strchr(kFlags, static_cast<char>(text[position]))
                               : nullptr;
        if (flag == nullptr) {
            break;
        }
        seen[flag - kFlags] = true;  // repeated flags mean nothing more, and keep this short
    }
    for (size_t i = 0; i + 1 < sizeof kFlags; ++i) {
        if (seen[i]) {
            AddNarrow(conversion, used, kFlags[i]);
        }
    }
    int width = 0;
    if (!ReadField(text, count, position, width)) {
        return false;
    }
    if (width > 0) {
        AddField(conversion, used, width);
    }
    if (position < count && text[position] == L'.') {
        ++position;
        int precision = 0;
        if (!ReadField(text, count, position, precision)) {
            return false;
        }
        AddNarrow(conversion, used, '.');
        AddField(conversion, used, precision);
    }
    if (position < count && (text[position] == L'h' || text[position] == L'l')) {
        AddNarrow(conversion, used, static_cast<char>(text[position]));
        ++position;
    }
    if (position != count - 1 || KindOf(text[position]) == ArgumentKind::None) {
        return false;
    }
    // The runtime linked here predates "%F" and rejects it; it prints as "%f" (only infinities
    // and NaNs, which it spells its own way anyway, would differ).
    AddNarrow(conversion, used, text[position] == L'F' ? 'f' : static_cast<char>(text[position]));
    return true;
}

bool ParseNumericDirective(const XStringW& pending, NumericDirective& directive)
{
    const wchar_t* text = pending.GetString();
    const int count = pending.GetLength();
    int position = 0;
    while (position < count) {
        if (text[position] != L'%') {
            directive.literal[directive.literalLength++] = text[position++];
        } else if (position + 1 < count && text[position + 1] == L'%') {
            directive.literal[directive.literalLength++] = L'%';
            position += 2;
        } else {
            return ParseConversion(text, count, position, directive.conversion);
        }
        if (directive.literalLength == kConversionChars - 1) {
            return true;  // the output is already as long as it may be
        }
    }
    return true;
}

// Formats the pending numeric directive with its one argument into output, a zero-filled
// buffer of kConversionChars. The output is cut at kConversionChars - 1 characters; a directive
// that the runtime could not be trusted with leaves output empty.
template <typename Value>
void FormatNumber(const XStringW& pending, Value value, wchar_t* output)
{
    NumericDirective directive;
    if (!ParseNumericDirective(pending, directive)) {
        return;
    }
    int used = directive.literalLength;
    std::memcpy(output, directive.literal, sizeof(wchar_t) * static_cast<size_t>(used));
    if (directive.conversion[0] == '\0') {
        return;
    }
    // The narrow formatter: Wine's wide one overruns its heap buffer for an integer precision
    // above 22. The output of a numeric conversion is ASCII, so widening it is exact.
    char narrow[kConversionChars] = {};
    _snprintf_s(narrow, sizeof narrow, _TRUNCATE, directive.conversion, value);
    for (int i = 0; narrow[i] != '\0' && used < kConversionChars - 1; ++i) {
        output[used++] = static_cast<unsigned char>(narrow[i]);
    }
    SecureZeroMemory(narrow, sizeof narrow);
}

// A text argument, cut after maxChars characters (0: never) and then followed by "…" and its
// whole length, so that one huge value cannot make a huge line.
void AppendText(XStringW& target, const wchar_t* text, int length, int maxChars)
{
    constexpr int kCharSize = static_cast<int>(sizeof(wchar_t));
    if (length <= 0) {
        return;
    }
    if (maxChars <= 0 || length <= maxChars) {
        target.AppendBytes(text, length * kCharSize);
        return;
    }
    int kept = maxChars;
    // A surrogate pair is kept whole or not at all.
    if (text[kept - 1] >= 0xD800 && text[kept - 1] <= 0xDBFF) {
        --kept;
    }
    target.AppendBytes(text, kept * kCharSize);
    wchar_t tail[48] = {};
    _snwprintf_s(tail, 48, _TRUNCATE, L"\x2026(%d characters)", length);
    target += tail;
}

// The engine proper, appending to target through its public operations.
void AppendFormatted(XStringW& target, const wchar_t* format, va_list args, int maxTextChars)
{
    constexpr int kCharSize = static_cast<int>(sizeof(wchar_t));
    XStringW pending;
    bool open = false;
    wchar_t conversion[kConversionChars] = {};
    for (const wchar_t* at = format; *at != L'\0'; ++at) {
        if (*at == L'%') {
            std::memset(conversion, 0, sizeof conversion);
            open = true;
            pending.AppendBytes(at, kCharSize);
            ++at;
            if (*at == L'\0') {
                break;  // a lone "%" at the end: nothing of it is written
            }
        } else if (!open) {
            target.AppendBytes(at, kCharSize);
            continue;
        }
        pending.AppendBytes(at, kCharSize);
        switch (KindOf(*at)) {
        case ArgumentKind::None:
            continue;  // flags, digits, modifiers and unlisted letters keep the directive open
        case ArgumentKind::Text:
            if (const XStringW* text = va_arg(args, const XStringW*)) {
                // Up to its first zero character, as the engine has always appended it.
                AppendText(target, text->GetString(),
                           static_cast<int>(wcsnlen(text->GetString(),
                                                    static_cast<size_t>(text->GetLength()))),
                           maxTextChars);
            }
            break;
        case ArgumentKind::WideString:
            if (const wchar_t* text = va_arg(args, const wchar_t*)) {
                AppendText(target, text, static_cast<int>(wcslen(text)), maxTextChars);
            }
            break;
        case ArgumentKind::Character: {
            const auto character = static_cast<wchar_t>(va_arg(args, int) & 0xFFFF);
            target.AppendBytes(&character, kCharSize);
            break;
        }
        case ArgumentKind::Integer:
            FormatNumber(pending, va_arg(args, int), conversion);
            target += conversion;
            break;
        case ArgumentKind::Floating:
            FormatNumber(pending, va_arg(args, double), conversion);
            target += conversion;
            break;
        }
        pending.Reset(0);
        open = false;
    }
    SecureZeroMemory(conversion, sizeof conversion);
}

}  // namespace

XStringW& XStringW::AppendFormatV(const wchar_t* format, va_list args, int maxTextChars)
{
    if (format == nullptr) {
        return *this;
    }
    // Built apart and appended at the end: while the engine runs, this string's buffer stays
    // where it is, so a format or "%s" argument that points into it stays valid.
    XStringW formatted;
    AppendFormatted(formatted, format, args, maxTextChars);
    AppendBytes(formatted.data, formatted.length);
    return *this;
}

XStringW& XStringW::AppendFormatRaw(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    AppendFormatV(format, args);
    va_end(args);
    return *this;
}
