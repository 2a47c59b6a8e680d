#pragma once
// Buffer steps shared by XStringW and XStringA: both keep a zero-terminated text in a block from
// the C runtime's allocator, count its length and capacity in bytes, and overwrite every block
// with zeros before it goes back to the heap.

namespace text_buffer {

// Bytes of text that charCount characters take (0 for a count below 1); throws std::bad_alloc
// when the block for them could not be sized in an int.
int CapacityFor(int charCount, int charSize);

// A zero-filled block of byteCount bytes; throws std::bad_alloc when the heap has none.
unsigned char* AllocateZeroed(int byteCount);

// Zeroes byteCount bytes of the block, then frees it. Null is ignored.
void ReleaseZeroed(unsigned char* block, int byteCount);

// Makes room for byteCount more bytes of text behind length, plus one terminator character.
// capacity becomes exactly length + byteCount; the new space is zero-filled. Throws
// std::bad_alloc when no block of that size can be had (the text is then unchanged).
void Grow(unsigned char*& data, int length, int& capacity, int charSize, int byteCount);

// Swaps the text's block for a fresh zeroed one with room for charCount characters: the old
// block is zeroed and freed, length becomes 0 and capacity charCount * charSize bytes.
void Renew(unsigned char*& data, int& length, int& capacity, int charSize, int charCount);

// Appends byteCount bytes from source behind the text and writes the terminator; nothing when
// byteCount is below 1 or source is null. source may lie inside the text's own block.
void Append(unsigned char*& data, int& length, int& capacity, int charSize, const void* source,
            int byteCount);

// True when address lies inside the block of capacity + charSize bytes at data: text copied
// from there must be taken out before the block can move.
bool Contains(const unsigned char* data, int capacity, int charSize, const void* address);

}  // namespace text_buffer
