#pragma once
// JSON text in ASCII alone: every character outside printable ASCII is written as \uXXXX (a
// character beyond U+FFFF as its two UTF-16 halves), so a reader needs no code page.

#include <windows.h>

#include "strings/XStringW.h"

// The text as a JSON string, quotes included.
XStringW JsonString(const XStringW& text);

// A JSON object written member by member: each member once, in the order given.
class JsonObjectWriter {
public:
    // indent: the blanks before each member; the closing brace gets two fewer.
    explicit JsonObjectWriter(int indent);

    void Text(const wchar_t* name, const XStringW& value);
    void TextOrNull(const wchar_t* name, const XStringW& value, bool present);
    void Number(const wchar_t* name, ULONGLONG value);
    void NumberOrNull(const wchar_t* name, ULONGLONG value, bool present);
    // value is JSON text already (an array or an object).
    void Raw(const wchar_t* name, const XStringW& value);

    // The object, from its opening to its closing brace.
    XStringW Close() const;

private:
    void Member(const wchar_t* name, const XStringW& value);

    int indent;
    XStringW members;
};
