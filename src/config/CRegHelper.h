#pragma once
// Reading and writing of registry values, always in the 64-bit view. Each call by path opens its
// key, does its work and closes it again; the steps on an open key serve edits that must see one
// key from start to end.

#include <windows.h>

#include <functional>
#include <vector>

#include "common/ScopedHandle.h"

#include "strings/XStringW.h"
#include "strings/XStringWList.h"

// The registry's value writes and deletes go through these, a seam for in-process tests of the
// failure paths; the program always runs with RegSetValueExW and RegDeleteValueW.
namespace registry_seam {
using SetValueFunction = LONG(WINAPI*)(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                                       const BYTE* data, DWORD byteCount);
using DeleteValueFunction = LONG(WINAPI*)(HKEY key, LPCWSTR valueName);
extern SetValueFunction setValue;
extern DeleteValueFunction deleteValue;
}  // namespace registry_seam

// A value as it is stored, for putting it back; absent when it was not there.
struct RawRegistryValue {
    bool present = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

class CRegHelper {
public:
    static DWORD GetValueType(HKEY root, const XStringW& keyPath, const XStringW& valueName);
    static DWORD GetValue(HKEY root, const XStringW& keyPath, const XStringW& valueName,
                          XStringW& text, DWORD& number, DWORD& size);
    // The text of a REG_SZ or REG_MULTI_SZ value, empty for any other; the value's type goes to
    // type when it is asked for (REG_NONE when the value cannot be read).
    static XStringW GetStringValue(HKEY root, const XStringW& keyPath, const XStringW& valueName,
                                   DWORD* type = nullptr);
    // Writes a REG_SZ below HKEY_CURRENT_USER, creating missing keys on the way. A failure is
    // traced with its status, which goes to *status when asked for.
    static bool SetValue(const XStringW& keyPath, const XStringW& valueName, const XStringW& text,
                         LONG* status = nullptr);
    // Writes a REG_SZ into a key below HKEY_CURRENT_USER that exists already; it never creates
    // one. ERROR_FILE_NOT_FOUND or ERROR_KEY_DELETED when the key is not (or no longer) there;
    // any other failure is traced with its status.
    static LONG SetExistingValue(const XStringW& keyPath, const XStringW& valueName,
                                 const XStringW& text);

    // Steps on an open key, each traced with its status when it fails under functionName.
    // Opens keyPath below HKEY_CURRENT_USER for writing, creating it (and its parents) when
    // missing; created tells which.
    static LONG CreateKey(const XStringW& keyPath, ScopedRegKey& key, bool& created);
    static LONG WriteString(HKEY key, const XStringW& valueName, const XStringW& text);
    // A value that is not there counts as deleted.
    static LONG DeleteValue(HKEY key, const XStringW& valueName);
    static RawRegistryValue ReadRaw(HKEY key, const XStringW& valueName);
    // Puts a value back as ReadRaw found it: written again, or deleted when it was absent.
    static LONG RestoreRaw(HKEY key, const XStringW& valueName, const RawRegistryValue& value);
    // Deletes a key below HKEY_CURRENT_USER that has no subkeys.
    static LONG DeleteKey(const XStringW& keyPath);
    static XStringWList GetSubKeyList(HKEY root, const XStringW& keyPath);
    // Calls visit(key, name) for every subkey of keyPath in enumeration order, with key the open
    // keyPath itself, so that values below it are read without opening it again. A key that
    // cannot be opened has no subkeys.
    using SubKeyVisit = std::function<void(HKEY key, const XStringW& name)>;
    static void ForEachSubKey(HKEY root, const XStringW& keyPath, const SubKeyVisit& visit);
    // Whether the key can be opened for reading; traces nothing.
    static bool KeyExists(HKEY root, const XStringW& keyPath);
};
