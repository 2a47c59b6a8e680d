#include "strings/XStringA.h"

#include <windows.h>

#include <climits>
#include <cstring>
#include <new>

#include "strings/TextBuffer.h"

namespace {

constexpr int kNarrowCharSize = 1;

int TextLength(const char* text)
{
    if (text == nullptr) {
        return 0;
    }
    const size_t count = std::strlen(text);
    if (count > static_cast<size_t>(INT_MAX - 1)) {
        throw std::bad_alloc();
    }
    return static_cast<int>(count);
}

}  // namespace

XStringA::XStringA(const char* text)
    : data(text_buffer::AllocateZeroed(kNarrowCharSize)),
      length(0),
      capacity(0),
      charSize(kNarrowCharSize),
      convBuffer(nullptr),
      convSize(0)
{
    AppendBytes(text, TextLength(text));
}

XStringA::XStringA(const XStringA& other) : XStringA(nullptr)
{
    AppendBytes(other.data, other.length);
}

XStringA::~XStringA()
{
    text_buffer::ReleaseZeroed(data, capacity + charSize);
    ReleaseConversion();
}

XStringA& XStringA::operator=(const XStringA& other)
{
    if (this == &other) {
        return *this;
    }
    Reset(other.GetLength());
    AppendBytes(other.data, other.length);
    return *this;
}

void XStringA::Reset(int charCount)
{
    if (length == 0) {
        return;
    }
    text_buffer::Renew(data, length, capacity, charSize, charCount);
    ReleaseConversion();
}

void XStringA::AppendBytes(const void* source, int byteCount)
{
    text_buffer::Append(data, length, capacity, charSize, source, byteCount);
}

void XStringA::ReleaseConversion()
{
    if (convBuffer == nullptr) {
        return;
    }
    // convSize counts the converted characters; the terminator behind them is zeroed too.
    SecureZeroMemory(convBuffer, sizeof(wchar_t) * static_cast<SIZE_T>(convSize + 1));
    delete[] convBuffer;
    convBuffer = nullptr;
    convSize = 0;
}

const wchar_t* XStringA::ToWide()
{
    ReleaseConversion();
    if (length == 0) {
        convBuffer = new wchar_t[1]();
        return convBuffer;
    }
    const char* text = GetString();
    const int wideCount = MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
    if (wideCount == 0) {
        return nullptr;
    }
    convBuffer = new wchar_t[wideCount + 1]();
    convSize = wideCount;
    const int converted = MultiByteToWideChar(CP_ACP, 0, text, length, convBuffer, wideCount);
    if (converted == 0) {
        ReleaseConversion();
        return nullptr;
    }
    convSize = converted;
    convBuffer[converted] = 0;
    return convBuffer;
}

XStringW XStringA::ToStringW()
{
    const wchar_t* wide = ToWide();
    return wide != nullptr ? XStringW(wide) : XStringW();
}
