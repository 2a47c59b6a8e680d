#include "watch/NameKey.h"

#include "strings/CaseFold.h"

std::wstring NameKey(const XStringW& name)
{
    return FoldCase(name.GetString());
}
