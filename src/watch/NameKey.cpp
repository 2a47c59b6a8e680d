#include "watch/NameKey.h"

#include <windows.h>

std::wstring NameKey(const XStringW& name)
{
    std::wstring key(name.GetString() != nullptr ? name.GetString() : L"");
    if (!key.empty()) {
        // The invariant mapping is one character for one, like the ordinal comparison that
        // ignores case, so the key keeps its length.
        ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, &key[0],
                        static_cast<int>(key.size()), &key[0], static_cast<int>(key.size()),
                        nullptr, nullptr, 0);
    }
    return key;
}
