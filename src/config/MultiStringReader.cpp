#include "config/MultiStringReader.h"

#include <windows.h>

#include <cwchar>

MultiStringReader::MultiStringReader(int count, const wchar_t* chars)
    : copy(nullptr), current(nullptr), count(count > 0 ? count : 0), position(0), currentLength(0)
{
    // One character more than the data, left zero, so the last string always ends in a null.
    copy = new wchar_t[this->count + 1]();
    if (chars != nullptr && this->count > 0) {
        wmemcpy(copy, chars, this->count);
    }
}

MultiStringReader::~MultiStringReader()
{
    ReleaseCurrent();
    SecureZeroMemory(copy, (count + 1) * sizeof(wchar_t));
    delete[] copy;
}

const wchar_t* MultiStringReader::Next()
{
    if (position >= count) {
        return nullptr;
    }
    while (copy[position] == L'\0') {
        ++position;
        if (position >= count) {
            return nullptr;
        }
    }
    const int length = static_cast<int>(wcslen(copy + position));
    ReleaseCurrent();
    current = new wchar_t[length + 1]();
    currentLength = length;
    wmemcpy(current, copy + position, length);
    position += length + 1;
    return current;
}

void MultiStringReader::ReleaseCurrent()
{
    if (current != nullptr) {
        SecureZeroMemory(current, (currentLength + 1) * sizeof(wchar_t));
        delete[] current;
        current = nullptr;
        currentLength = 0;
    }
}
