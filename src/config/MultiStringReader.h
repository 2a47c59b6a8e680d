#pragma once
// Walks the strings of a REG_MULTI_SZ value one at a time, skipping empty ones. The reader keeps
// its own zero-terminated copy of the data, so a value stored without its closing nulls is still
// read safely up to its last character.

class MultiStringReader {
public:
    // count wide characters starting at chars; chars may be null when count is 0.
    MultiStringReader(int count, const wchar_t* chars);
    ~MultiStringReader();

    MultiStringReader(const MultiStringReader&) = delete;
    MultiStringReader& operator=(const MultiStringReader&) = delete;

    // The next non-empty string, or null at the end of the data. The text belongs to the reader
    // and stays valid until the next call or the reader's end.
    const wchar_t* Next();

private:
    void ReleaseCurrent();

    wchar_t* copy;
    wchar_t* current;
    int count;
    int position;
    int currentLength;
};
