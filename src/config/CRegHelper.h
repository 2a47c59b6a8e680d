#pragma once
// Reading and writing of registry values, always in the 64-bit view. Each call opens its key,
// does its work and closes it again.

#include <windows.h>

#include <functional>

#include "strings/XStringW.h"
#include "strings/XStringWList.h"

class CRegHelper {
public:
    static DWORD GetValueType(HKEY root, const XStringW& keyPath, const XStringW& valueName);
    static DWORD GetValue(HKEY root, const XStringW& keyPath, const XStringW& valueName,
                          XStringW& text, DWORD& number, DWORD& size);
    // The text of a REG_SZ or REG_MULTI_SZ value, empty for any other; the value's type goes to
    // type when it is asked for (REG_NONE when the value cannot be read).
    static XStringW GetStringValue(HKEY root, const XStringW& keyPath, const XStringW& valueName,
                                   DWORD* type = nullptr);
    // Writes a REG_SZ below HKEY_CURRENT_USER, creating missing keys on the way.
    static bool SetValue(const XStringW& keyPath, const XStringW& valueName, const XStringW& text);
    static XStringWList GetSubKeyList(HKEY root, const XStringW& keyPath);
    // Calls visit(key, name) for every subkey of keyPath in enumeration order, with key the open
    // keyPath itself, so that values below it are read without opening it again. A key that
    // cannot be opened has no subkeys.
    using SubKeyVisit = std::function<void(HKEY key, const XStringW& name)>;
    static void ForEachSubKey(HKEY root, const XStringW& keyPath, const SubKeyVisit& visit);
    // Whether the key can be opened for reading; traces nothing.
    static bool KeyExists(HKEY root, const XStringW& keyPath);
};
