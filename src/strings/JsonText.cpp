#include "strings/JsonText.h"

namespace {
XStringW Blanks(int count)
{
    XStringW blanks;
    for (int i = 0; i < count; ++i) {
        blanks += L" ";
    }
    return blanks;
}

// A 64-bit number in decimal: the formatter's conversions take 32 bits.
XStringW Decimal(ULONGLONG value)
{
    wchar_t digits[24] = {};
    int at = 22;
    do {
        digits[at--] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    return XStringW(digits + at + 1);
}
}  // namespace

XStringW JsonString(const XStringW& text)
{
    XStringW json(L"\"");
    for (int i = 0; i < text.GetLength(); ++i) {
        const wchar_t c = text.GetAt(i);
        if (c == L'"') {
            json += L"\\\"";
        } else if (c == L'\\') {
            json += L"\\\\";
        } else if (c < 0x20 || c > 0x7E) {
            json.AppendFormat(L"\\u%04x", static_cast<unsigned>(c));
        } else {
            const wchar_t one[2] = {c, L'\0'};
            json += one;
        }
    }
    json += L"\"";
    return json;
}

JsonObjectWriter::JsonObjectWriter(int indent) : indent(indent) {}

void JsonObjectWriter::Member(const wchar_t* name, const XStringW& value)
{
    if (!members.IsEmpty()) {
        members += L",\r\n";
    }
    members.AppendFormat(L"%@%@: %@", Blanks(indent), JsonString(XStringW(name)), value);
}

void JsonObjectWriter::Text(const wchar_t* name, const XStringW& value)
{
    Member(name, JsonString(value));
}

void JsonObjectWriter::TextOrNull(const wchar_t* name, const XStringW& value, bool present)
{
    Member(name, present ? JsonString(value) : XStringW(L"null"));
}

void JsonObjectWriter::Number(const wchar_t* name, ULONGLONG value)
{
    Member(name, Decimal(value));
}

void JsonObjectWriter::NumberOrNull(const wchar_t* name, ULONGLONG value, bool present)
{
    Member(name, present ? Decimal(value) : XStringW(L"null"));
}

void JsonObjectWriter::Raw(const wchar_t* name, const XStringW& value)
{
    Member(name, value);
}

XStringW JsonObjectWriter::Close() const
{
    XStringW json(L"{");
    if (!members.IsEmpty()) {
        json.AppendFormat(L"\r\n%@\r\n%@", members, Blanks(indent - 2));
    }
    json += L"}";
    return json;
}
