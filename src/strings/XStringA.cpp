#include "strings/XStringA.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

unsigned char* AllocateZeroed(int byteCount)
{
    void* block = std::calloc(static_cast<size_t>(byteCount) + 1, 1);
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

}  // namespace

XStringA::XStringA(const char* text)
    : data(AllocateZeroed(0)), length(0), capacity(0), charSize(1), convBuffer(nullptr),
      convSize(0)
{
    if (text != nullptr) {
        AppendBytes(text, static_cast<int>(std::strlen(text)));
    }
}

XStringA::XStringA(const XStringA& other) : XStringA(nullptr)
{
    AppendBytes(other.data, other.length);
}

XStringA::~XStringA()
{
    ZeroAndFree(data, length + charSize);
    data = nullptr;
    ReleaseConversion();
}

XStringA& XStringA::operator=(const XStringA& other)
{
    if (this != &other) {
        Reset(other.GetLength());
        AppendBytes(other.data, other.length);
    }
    return *this;
}

void XStringA::ReleaseConversion()
{
    if (convBuffer != nullptr) {
        std::memset(convBuffer, 0, static_cast<size_t>(convSize) * sizeof(wchar_t));
        delete[] convBuffer;
        convBuffer = nullptr;
        convSize = 0;
    }
}

void XStringA::Reset(int charCount)
{
    if (length == 0) {
        return;
    }
    ZeroAndFree(data, length + charSize);
    const int bytes = charCount > 0 ? charCount : 0;
    data = AllocateZeroed(bytes);
    length = 0;
    capacity = bytes;
    ReleaseConversion();
}

void XStringA::Grow(int byteCount)
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
        unsigned char* fresh = AllocateZeroed(needed);
        std::memcpy(fresh, data, static_cast<size_t>(length));
        ZeroAndFree(data, length + charSize);
        data = fresh;
    }
    capacity = needed;
}

void XStringA::AppendBytes(const void* source, int byteCount)
{
    if (byteCount <= 0 || source == nullptr) {
        return;
    }
    Grow(byteCount);
    std::memmove(data + length, source, static_cast<size_t>(byteCount));
    length += byteCount;
    data[length] = 0;
}

const wchar_t* XStringA::ToWide()
{
    // The earlier conversion is wiped before it is released (convSize counts its characters;
    // the terminator after them is zero already).
    ReleaseConversion();
    if (IsEmpty()) {
        convBuffer = new wchar_t[1]();
        convSize = 0;
        return convBuffer;
    }
    const int wideCount = MultiByteToWideChar(CP_ACP, 0, GetString(), length, nullptr, 0);
    if (wideCount == 0) {
        return nullptr;
    }
    convBuffer = new wchar_t[static_cast<size_t>(wideCount) + 1]();
    const int converted = MultiByteToWideChar(CP_ACP, 0, GetString(), length, convBuffer, wideCount);
    if (converted == 0) {
        delete[] convBuffer;
        convBuffer = nullptr;
        return nullptr;
    }
    convSize = converted;
    convBuffer[converted] = 0;
    return convBuffer;
}

XStringW XStringA::ToStringW()
{
    return XStringW(ToWide());
}
