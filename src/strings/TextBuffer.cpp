#include "strings/TextBuffer.h"

#include <windows.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <new>

namespace text_buffer {

int CapacityFor(int charCount, int charSize)
{
    if (charCount <= 0) {
        return 0;
    }
    if (charCount > INT_MAX / charSize - 1) {
        throw std::bad_alloc();
    }
    return charCount * charSize;
}

unsigned char* AllocateZeroed(int byteCount)
{
    void* block = std::malloc(static_cast<size_t>(byteCount));
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    std::memset(block, 0, static_cast<size_t>(byteCount));
    return static_cast<unsigned char*>(block);
}

void ReleaseZeroed(unsigned char* block, int byteCount)
{
    if (block == nullptr) {
        return;
    }
    // A plain memset right before free may be optimised away.
    SecureZeroMemory(block, static_cast<SIZE_T>(byteCount));
    std::free(block);
}

void Grow(unsigned char*& data, int length, int& capacity, int charSize, int byteCount)
{
    if (byteCount > INT_MAX - length - charSize) {
        throw std::bad_alloc();
    }
    const int needed = length + byteCount;
    if (capacity >= needed) {
        return;
    }
    const int blockSize = needed + charSize;
    // realloc may move the text and free the old block without zeroing it, so the block is
    // only resized where it lies; a move is done by hand, zeroing the old block.
    if (_expand(data, static_cast<size_t>(blockSize)) != nullptr) {
        std::memset(data + length, 0, static_cast<size_t>(blockSize - length));
    } else {
        unsigned char* moved = AllocateZeroed(blockSize);
        std::memcpy(moved, data, static_cast<size_t>(length));
        ReleaseZeroed(data, capacity + charSize);
        data = moved;
    }
    capacity = needed;
}

void Renew(unsigned char*& data, int& length, int& capacity, int charSize, int charCount)
{
    const int newCapacity = CapacityFor(charCount, charSize);
    unsigned char* fresh = AllocateZeroed(newCapacity + charSize);
    ReleaseZeroed(data, capacity + charSize);
    data = fresh;
    length = 0;
    capacity = newCapacity;
}

void Append(unsigned char*& data, int& length, int& capacity, int charSize, const void* source,
            int byteCount)
{
    if (byteCount <= 0 || source == nullptr) {
        return;
    }
    // Part of our own text may be appended: growth may move the block it is read from, so it
    // is found again by its offset.
    const auto* from = static_cast<const unsigned char*>(source);
    const bool fromOwnBlock = Contains(data, capacity, charSize, source);
    const std::ptrdiff_t offset = fromOwnBlock ? from - data : 0;
    Grow(data, length, capacity, charSize, byteCount);
    if (fromOwnBlock) {
        from = data + offset;
    }
    std::memmove(data + length, from, static_cast<size_t>(byteCount));
    length += byteCount;
    std::memset(data + length, 0, static_cast<size_t>(charSize));
}

bool Contains(const unsigned char* data, int capacity, int charSize, const void* address)
{
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const auto end = begin + static_cast<std::uintptr_t>(capacity + charSize);
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    return at >= begin && at < end;
}

}  // namespace text_buffer
