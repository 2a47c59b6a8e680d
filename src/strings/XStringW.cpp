#include "strings/XStringW.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kWideCharSize = static_cast<int>(sizeof(wchar_t));

// A fresh zero-filled buffer for byteCount bytes of text and the terminator.
unsigned char* AllocateZeroed(int byteCount)
{
    void* block = std::calloc(static_cast<size_t>(byteCount) + kWideCharSize, 1);
    if (block == nullptr) {
        std::abort();  // Out of memory: the program cannot go on without its strings.
    }
    return static_cast<unsigned char*>(block);
}

void ZeroAndFree(unsigned char* block, int byteCount)
{
    if (block != nullptr) {
        std::memset(block, 0, static_cast<size_t>(byteCount));
        std::free(block);
    }
}

int TextByteCount(const wchar_t* text)
{
    return text == nullptr ? 0 : static_cast<int>(wcslen(text)) * kWideCharSize;
}

bool IsWhitespace(wchar_t c)
{
    return (c >= 0x09 && c <= 0x0D) || c == 0x20;
}

}  // namespace

XStringW::XStringW()
    : data(AllocateZeroed(0)), length(0), capacity(0), charSize(kWideCharSize),
      convBuffer(nullptr), convSize(0)
{
}

XStringW::XStringW(const wchar_t* text) : XStringW()
{
    const int bytes = TextByteCount(text);
    if (bytes > 0) {
        Grow(bytes);
        AppendBytes(text, bytes);
    }
}

XStringW::XStringW(const XStringW& other) : XStringW()
{
    if (other.length > 0) {
        Grow(other.length);
        AppendBytes(other.data, other.length);
    }
}

XStringW::~XStringW()
{
    ZeroAndFree(data, length + charSize);
    data = nullptr;
    ReleaseConversion();
}

void XStringW::ReleaseConversion()
{
    if (convBuffer != nullptr) {
        unsigned char* bytes = static_cast<unsigned char*>(convBuffer);
        std::memset(bytes, 0, static_cast<size_t>(convSize));
        delete[] bytes;
        convBuffer = nullptr;
        convSize = 0;
    }
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
    const int bytes = TextByteCount(text);
    // The source may live inside this string's own buffer: copy it before the reset frees it.
    XStringW copy;
    copy.AppendBytes(text, bytes);
    Reset(bytes / kWideCharSize);
    AppendBytes(copy.data, copy.length);
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
    ZeroAndFree(data, length + charSize);
    const int bytes = charCount > 0 ? charCount * charSize : 0;
    data = AllocateZeroed(bytes);
    length = 0;
    capacity = bytes;
    ReleaseConversion();
}

void XStringW::Grow(int byteCount)
{
    const int needed = length + byteCount;
    if (capacity >= needed) {
        return;
    }
    const size_t newSize = static_cast<size_t>(needed) + charSize;
    void* moved = std::realloc(data, newSize);
    if (moved != nullptr) {
        data = static_cast<unsigned char*>(moved);
        std::memset(data + length, 0, newSize - static_cast<size_t>(length));
    } else {
        // The block could not be resized: move the text to a new block and wipe the old one.
        unsigned char* fresh = AllocateZeroed(needed);
        std::memcpy(fresh, data, static_cast<size_t>(length));
        ZeroAndFree(data, length + charSize);
        data = fresh;
    }
    capacity = needed;
}

void XStringW::AppendBytes(const void* source, int byteCount)
{
    if (byteCount <= 0 || source == nullptr) {
        return;
    }
    Grow(byteCount);
    std::memmove(data + length, source, static_cast<size_t>(byteCount));
    length += byteCount;
    std::memset(data + length, 0, static_cast<size_t>(charSize));
}

XStringW& XStringW::operator+=(const wchar_t* text)
{
    if (text == nullptr) {
        return *this;
    }
    if (reinterpret_cast<const unsigned char*>(text) >= data &&
        reinterpret_cast<const unsigned char*>(text) <= data + length) {
        // Appending (a part of) itself: growth may move the buffer, so work from a copy.
        const XStringW copy(text);
        AppendBytes(copy.data, copy.length);
    } else {
        AppendBytes(text, TextByteCount(text));
    }
    return *this;
}

XStringW& XStringW::operator+=(const XStringW& other)
{
    if (other.IsEmpty()) {
        return *this;
    }
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
    array = new wchar_t[static_cast<size_t>(count) + 1]();
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
    if (count > 0 && !IsEmpty()) {
        const int taken = count < GetLength() ? count : GetLength();
        result.AppendBytes(data + length - taken * charSize, taken * charSize);
    }
    return result;
}

XStringW& XStringW::TrimRight()
{
    wchar_t* text = reinterpret_cast<wchar_t*>(data);
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
    wchar_t* text = reinterpret_cast<wchar_t*>(data);
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
    const int total = GetLength();
    const int subLength = sub == nullptr ? 0 : static_cast<int>(wcslen(sub));
    if (total == 0 || subLength == 0) {
        return -1;
    }
    const wchar_t* text = GetString();
    for (int i = 0; i < total; ++i) {
        if (text[i] != sub[0]) {
            continue;
        }
        if (total - i < subLength) {
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
    const int total = GetLength();
    const int subLength = sub == nullptr ? 0 : static_cast<int>(wcslen(sub));
    if (total == 0 || subLength == 0) {
        return -1;
    }
    const wchar_t* text = GetString();
    for (int i = total - 1; i >= 0; --i) {
        if (text[i] != sub[subLength - 1]) {
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
            return i - subLength + 1;
        }
    }
    return -1;
}

int XStringW::Compare(const wchar_t* other) const
{
    const wchar_t* text = GetString();
    const wchar_t* against = other == nullptr ? L"" : other;
    for (int i = 0;; ++i) {
        const unsigned left = static_cast<unsigned short>(text[i]);
        const unsigned right = static_cast<unsigned short>(against[i]);
        if (left != right) {
            return left < right ? -1 : 1;
        }
        if (left == 0) {
            return 0;
        }
    }
}

bool operator==(const wchar_t* left, const XStringW& right)
{
    return right.Compare(left) == 0;
}

bool operator==(const XStringW& left, const wchar_t* right)
{
    return left.Compare(right) == 0;
}

bool XStringW::IsSuffixOf(const XStringW& other) const
{
    const int n = GetLength();
    const int m = other.GetLength();
    if (m < n) {
        return false;
    }
    const wchar_t* mine = GetString();
    const wchar_t* theirs = other.GetString();
    for (int i = 0; i < n; ++i) {
        if (mine[i] != theirs[m - n + i]) {
            return false;
        }
    }
    return true;
}

int XStringW::ToInt() const
{
    const int count = GetLength();
    if (count == 0) {
        return -1;
    }
    const wchar_t* text = GetString();
    const bool negative = text[0] == L'-';
    long long value = 0;
    for (int i = negative ? 1 : 0; i < count; ++i) {
        if (text[i] < L'0' || text[i] > L'9') {
            return -1;
        }
        value = value * 10 + (text[i] - L'0');
        if (value > static_cast<long long>(INT_MAX) + 1) {
            value = static_cast<long long>(INT_MAX) + 1;  // saturate; the sign decides below
        }
    }
    if (negative) {
        return static_cast<int>(-value);
    }
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

int XStringW::ToUInt() const
{
    const int count = GetLength();
    if (count == 0) {
        return -1;
    }
    const wchar_t* text = GetString();
    unsigned long long value = 0;
    for (int i = 0; i < count; ++i) {
        if (text[i] < L'0' || text[i] > L'9') {
            return -1;
        }
        value = value * 10 + static_cast<unsigned>(text[i] - L'0');
        if (value > UINT_MAX) {
            value = UINT_MAX;
        }
    }
    return static_cast<int>(static_cast<unsigned>(value));
}
