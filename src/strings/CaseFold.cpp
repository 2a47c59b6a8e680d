#include "strings/CaseFold.h"

#include <windows.h>

#include <cwchar>

std::wstring FoldCase(const wchar_t* text, size_t length)
{
    std::wstring folded(text, length);
    bool ascii = true;
    for (wchar_t& c : folded) {
        if (c >= L'a' && c <= L'z') {
            c = static_cast<wchar_t>(c - L'a' + L'A');
        } else if (c > 0x7F) {
            ascii = false;
        }
    }
    if (!ascii) {
        ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, &folded[0],
                        static_cast<int>(folded.size()), &folded[0],
                        static_cast<int>(folded.size()), nullptr, nullptr, 0);
    }
    return folded;
}

std::wstring FoldCase(const wchar_t* text)
{
    return text != nullptr ? FoldCase(text, std::wcslen(text)) : std::wstring();
}

bool SameIgnoringCase(const wchar_t* left, const wchar_t* right)
{
    return FoldCase(left) == FoldCase(right);
}
