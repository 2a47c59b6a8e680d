#pragma once
// Narrow string in the ANSI code page: command-line arguments and the function names of trace
// calls. Same buffer design as XStringW with one byte per character; converts to wide text.

#include "strings/XStringW.h"

class XStringA {
public:
    XStringA(const char* text);  // NOLINT: implicit, so a literal can stand where a name is wanted
    XStringA(const XStringA& other);
    virtual ~XStringA();
    XStringA& operator=(const XStringA& other);

    int GetLength() const { return length / charSize; }
    bool IsEmpty() const { return length == 0; }
    const char* GetString() const { return reinterpret_cast<const char*>(data); }

    void Reset(int charCount);
    void AppendBytes(const void* source, int byteCount);

    // The text converted with the ANSI code page. The array belongs to this string and stays
    // valid until the next ToWide or the destructor; null when the conversion fails.
    const wchar_t* ToWide();
    // The same conversion as an owned wide string; empty when the conversion fails.
    XStringW ToStringW();

private:
    void ReleaseConversion();

    unsigned char* data;
    int length;
    int capacity;
    int charSize;
    wchar_t* convBuffer;
    int convSize;
};
