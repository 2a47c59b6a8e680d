#include "strings/XStringW.h"

#include <windows.h>

#include <climits>
#include <cstring>
#include <new>

#include "strings/TextBuffer.h"

namespace {

constexpr int kWideCharSize = static_cast<int>(sizeof(wchar_t));

bool IsWhitespace(wchar_t c)
{
    return (c >= 0x0009 && c <= 0x000D) || c == 0x0020;
}

// Character count of a zero-terminated text; null counts as empty.
int TextLength(const wchar_t* text)
{
    if (text == nullptr) {
        return 0;
    }
    const size_t count = wcslen(text);
    if (count > static_cast<size_t>(INT_MAX / kWideCharSize - 1)) {
        throw std::bad_alloc();
    }
    return static_cast<int>(count);
}

}  // namespace

XStringW::XStringW()
    : data(text_buffer::AllocateZeroed(kWideCharSize)),
      length(0),
      capacity(0),
      charSize(kWideCharSize),
      convBuffer(nullptr),
      convSize(0)
{
}

XStringW::XStringW(const wchar_t* text) : XStringW()
{
    const int bytes = TextLength(text) * kWideCharSize;
    AppendBytes(text, bytes);
}

XStringW::XStringW(const XStringW& other) : XStringW()
{
    AppendBytes(other.data, other.length);
}

XStringW::~XStringW()
{
    text_buffer::ReleaseZeroed(data, capacity + charSize);
    ReleaseConversion();
}

XStringW& XStringW::operator=(const XStringW& other)
{
    if (this == &other) {
        return *this;
    }
    Reset(other.GetLength());
    AppendBytes(other.data, other.length);
    return *this;
}

XStringW& XStringW::operator=(const wchar_t* text)
{
    if (text != nullptr && text_buffer::Contains(data, capacity, charSize, text)) {
        // The text lives in the buffer that Reset is about to release.
        const XStringW copy(text);
        return *this = copy;
    }
    const int count = TextLength(text);
    Reset(count);
    AppendBytes(text, count * kWideCharSize);
    return *this;
}

wchar_t XStringW::GetAt(int index) const
{
    if (index < 0 || index >= GetLength()) {
        return 0;
    }
    return GetString()[index];
}

void XStringW::Reset(int charCount)
{
    if (length == 0) {
        return;
    }
    text_buffer::Renew(data, length, capacity, charSize, charCount);
    ReleaseConversion();
}

void XStringW::AppendBytes(const void* source, int byteCount)
{
    text_buffer::Append(data, length, capacity, charSize, source, byteCount);
}

void XStringW::ReleaseConversion()
{
    if (convBuffer != nullptr) {
        auto* bytes = static_cast<unsigned char*>(convBuffer);
        SecureZeroMemory(bytes, static_cast<SIZE_T>(convSize));
        delete[] bytes;
        convBuffer = nullptr;
        convSize = 0;
    }
}

XStringW& XStringW::operator+=(const wchar_t* text)
{
    AppendBytes(text, TextLength(text) * kWideCharSize);
    return *this;
}

XStringW& XStringW::operator+=(const XStringW& other)
{
    // Up to the first zero character, like any other zero-terminated text.
    return *this += other.GetString();
}

XStringW operator+(const XStringW& left, const wchar_t* right)
{
    XStringW result(left);
    result += right;
    return result;
}

XStringW operator+(const wchar_t* left, const XStringW& right)
{
    XStringW result(left);
    result += right;
    return result;
}

int XStringW::CopyToArray(wchar_t*& array) const
{
    const int count = GetLength();
    if (count == 0) {
        return 0;
    }
    array = new wchar_t[count + 1]();
    std::memcpy(array, data, static_cast<size_t>(length));
    return count;
}

XStringW XStringW::Left(int count) const
{
    XStringW result;
    if (count > 0) {
        const int taken = count < GetLength() ? count : GetLength();
        result.AppendBytes(data, taken * charSize);
    }
    return result;
}

XStringW XStringW::Mid(int start, int count) const
{
    XStringW result;
    const int total = GetLength();
    if (count < 0 || start < 0 || start >= total) {
        return result;
    }
    const int available = total - start;
    const int taken = (count == 0 || count > available) ? available : count;
    result.AppendBytes(data + start * charSize, taken * charSize);
    return result;
}

XStringW XStringW::Right(int count) const
{
    XStringW result;
    const int total = GetLength();
    if (count > 0 && total > 0) {
        const int taken = count < total ? count : total;
        result.AppendBytes(data + (total - taken) * charSize, taken * charSize);
    }
    return result;
}

XStringW& XStringW::TrimRight()
{
    auto* text = reinterpret_cast<wchar_t*>(data);
    int count = GetLength();
    while (count > 0 && IsWhitespace(text[count - 1])) {
        text[count - 1] = 0;
        --count;
    }
    length = count * charSize;
    return *this;
}

XStringW& XStringW::TrimLeft()
{
    auto* text = reinterpret_cast<wchar_t*>(data);
    const int count = GetLength();
    int leading = 0;
    while (leading < count && IsWhitespace(text[leading])) {
        ++leading;
    }
    if (leading == 0) {
        return *this;
    }
    for (int i = leading; i < count; ++i) {
        text[i - leading] = text[i];
    }
    for (int i = count - leading; i < count; ++i) {
        text[i] = 0;
    }
    length = (count - leading) * charSize;
    return *this;
}

int XStringW::Find(const wchar_t* sub) const
{
    const int subLength = TextLength(sub);
    if (subLength == 0) {
        return -1;
    }
    const wchar_t* text = GetString();
    const int count = GetLength();
    for (int i = 0; i < count; ++i) {
        if (text[i] != sub[0]) {
            continue;
        }
        if (count - i < subLength) {
            return -1;
        }
        int matched = 1;
        while (matched < subLength && text[i + matched] == sub[matched]) {
            ++matched;
        }
        if (matched == subLength) {
            return i;
        }
    }
    return -1;
}

int XStringW::ReverseFind(const wchar_t* sub) const
{
    const int subLength = TextLength(sub);
    if (subLength == 0) {
        return -1;
    }
    const wchar_t* text = GetString();
    const wchar_t last = sub[subLength - 1];
    for (int i = GetLength() - 1; i >= 0; --i) {
        if (text[i] != last) {
            continue;
        }
        if (i < subLength - 1) {
            return -1;
        }
        int matched = 1;
        while (matched < subLength && text[i - matched] == sub[subLength - 1 - matched]) {
            ++matched;
        }
        if (matched == subLength) {
            return i - (subLength - 1);
        }
    }
    return -1;
}

int XStringW::Compare(const wchar_t* other) const
{
    const wchar_t* text = GetString();
    const int count = GetLength();
    const int otherCount = TextLength(other);
    for (int i = 0; i < count && i < otherCount; ++i) {
        // Code units compare unsigned: U+FFFF sorts after 'a'.
        const auto mine = static_cast<unsigned short>(text[i]);
        const auto theirs = static_cast<unsigned short>(other[i]);
        if (mine != theirs) {
            return mine < theirs ? -1 : 1;
        }
    }
    if (count == otherCount) {
        return 0;
    }
    return count < otherCount ? -1 : 1;
}

bool XStringW::IsSuffixOf(const XStringW& other) const
{
    const int count = GetLength();
    const int otherCount = other.GetLength();
    if (count > otherCount) {
        return false;
    }
    const wchar_t* text = GetString();
    const wchar_t* otherText = other.GetString();
    for (int i = 0; i < count; ++i) {
        if (text[i] != otherText[otherCount - count + i]) {
            return false;
        }
    }
    return true;
}

int XStringW::ToInt() const
{
    const wchar_t* text = GetString();
    const int count = GetLength();
    if (count == 0) {
        return -1;
    }
    const bool negative = text[0] == L'-';
    long long value = 0;
    for (int i = negative ? 1 : 0; i < count; ++i) {
        if (text[i] < L'0' || text[i] > L'9') {
            return -1;
        }
        if (value <= INT_MAX) {  // beyond it the result is saturated anyway
            value = value * 10 + (text[i] - L'0');
        }
    }
    if (negative) {
        return value > -static_cast<long long>(INT_MIN) ? INT_MIN : static_cast<int>(-value);
    }
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

int XStringW::ToUInt() const
{
    const wchar_t* text = GetString();
    const int count = GetLength();
    if (count == 0) {
        return -1;
    }
    unsigned long long value = 0;
    for (int i = 0; i < count; ++i) {
        if (text[i] < L'0' || text[i] > L'9') {
            return -1;
        }
        if (value <= UINT_MAX) {
            value = value * 10 + static_cast<unsigned>(text[i] - L'0');
        }
    }
    const unsigned int saturated = value > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(value);
    return static_cast<int>(saturated);
}

bool operator==(const wchar_t* left, const XStringW& right)
{
    return right.Compare(left) == 0;
}

bool operator==(const XStringW& left, const wchar_t* right)
{
    return left.Compare(right) == 0;
}
