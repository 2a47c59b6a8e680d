#include "strings/PathText.h"

#include <vector>

#include "strings/CaseFold.h"

namespace {
bool IsDriveLetter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}
}  // namespace

bool IsAbsolutePath(const XStringW& path)
{
    const wchar_t* p = path.GetString();
    const int length = path.GetLength();
    if (length >= 3 && IsDriveLetter(p[0]) && p[1] == L':' && p[2] == L'\\') {
        return true;
    }
    if (length < 2 || p[0] != L'\\' || p[1] != L'\\') {
        return false;
    }
    // A server name, a separator, a share name, a separator.
    int i = 2;
    int separators = 0;
    int partLength = 0;
    for (; i < length && separators < 2; ++i) {
        if (p[i] == L'\\') {
            if (partLength == 0) {
                return false;
            }
            ++separators;
            partLength = 0;
        } else {
            ++partLength;
        }
    }
    return separators == 2 && i < length;
}

XStringW FileNameOf(const XStringW& path)
{
    const int lastSeparator = path.ReverseFind(L"\\");
    return lastSeparator < 0 ? path : path.Right(path.GetLength() - lastSeparator - 1);
}

bool HasExeExtension(const XStringW& fileName)
{
    const int length = fileName.GetLength();
    return length > 4 && SameIgnoringCase(fileName.GetString() + length - 4, L".exe");
}

XStringW WithBackslashes(const XStringW& path)
{
    std::vector<wchar_t> chars(path.GetString(), path.GetString() + path.GetLength());
    for (wchar_t& c : chars) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    chars.push_back(L'\0');
    return XStringW(chars.data());
}
