#pragma once
// UTF-16 string carrying every path, name, value and message of the program. Length and capacity
// are counted in bytes; every buffer that held text is zero-filled before it is released.

#include <cstdarg>
#include <type_traits>
#include <wchar.h>

class XStringW;

namespace format_detail {
// "%@" takes an XStringW: it travels through the variadic call as a pointer to the caller's
// string, which keeps ownership. Everything else is passed on unchanged.
inline const XStringW* Arg(const XStringW& text) { return &text; }

template <typename T>
T Arg(T value)
{
    static_assert(std::is_arithmetic<T>::value || std::is_pointer<T>::value ||
                      std::is_enum<T>::value,
                  "format arguments are numbers, text pointers or XStringW");
    // The engine consumes exactly one 32-bit value per integer directive: a 64-bit integer
    // would shift every later argument (and differ between the 32- and 64-bit builds).
    static_assert(!std::is_integral<T>::value || sizeof(T) <= 4,
                  "integer format arguments must be 32-bit");
    return value;
}
}  // namespace format_detail

class XStringW {
public:
    XStringW();
    XStringW(const wchar_t* text);  // NOLINT: implicit on purpose, like the text it wraps
    XStringW(const XStringW& other);
    virtual ~XStringW();

    XStringW& operator=(const XStringW& other);
    XStringW& operator=(const wchar_t* text);

    int GetLength() const { return length / charSize; }
    bool IsEmpty() const { return length == 0; }
    const wchar_t* GetString() const { return reinterpret_cast<const wchar_t*>(data); }
    wchar_t GetAt(int index) const;

    // Raw sizes, for callers that must hand byte counts to the platform.
    int GetByteLength() const { return length; }
    int GetCapacity() const { return capacity; }

    void Reset(int charCount);
    void AppendBytes(const void* source, int byteCount);

    XStringW& operator+=(const wchar_t* text);
    XStringW& operator+=(const XStringW& other);
    friend XStringW operator+(const XStringW& left, const wchar_t* right);
    friend XStringW operator+(const wchar_t* left, const XStringW& right);

    // Copies the text into a new zero-filled array that the caller releases with delete[].
    int CopyToArray(wchar_t*& array) const;

    XStringW Left(int count) const;
    XStringW Mid(int start, int count) const;
    XStringW Right(int count) const;

    XStringW& TrimRight();
    XStringW& TrimLeft();

    int Find(const wchar_t* sub) const;
    int ReverseFind(const wchar_t* sub) const;
    int Compare(const wchar_t* text) const;
    bool IsSuffixOf(const XStringW& other) const;

    int ToInt() const;
    int ToUInt() const;

    // printf-like formatting with the extra directive "%@" for an XStringW argument.
    // The result replaces the text. It is built apart first, so that the arguments may name
    // this string itself (path.Format(L"%@\\%@", path, name)).
    template <typename... Args>
    XStringW& Format(const wchar_t* format, const Args&... args)
    {
        XStringW formatted;
        formatted.AppendFormatRaw(format, format_detail::Arg(args)...);
        return *this = formatted;
    }
    template <typename... Args>
    XStringW& AppendFormat(const wchar_t* format, const Args&... args)
    {
        return AppendFormatRaw(format, format_detail::Arg(args)...);
    }
    // The output of one numeric directive is cut at 255 characters. A numeric directive that the
    // runtime could not be handed safely (one that absorbed another printf conversion, a "*", a
    // 64-bit modifier, or a width or precision above 999) appends nothing and still consumes
    // its one argument. With maxTextChars above 0, a "%@" or "%s" argument longer than that is
    // cut there and followed by "…(<length> characters)".
    XStringW& AppendFormatV(const wchar_t* format, va_list args, int maxTextChars = 0);

private:
    XStringW& AppendFormatRaw(const wchar_t* format, ...);
    void ReleaseConversion();

    unsigned char* data;
    int length;
    int capacity;
    int charSize;
    void* convBuffer;
    int convSize;
};

bool operator==(const wchar_t* left, const XStringW& right);
bool operator==(const XStringW& left, const wchar_t* right);
