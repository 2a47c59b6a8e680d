#pragma once
// Registry and trace helpers for the configuration tests. They use the platform directly, so the
// tests never check the code under test with itself.

#include <windows.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "TraceCapture.h"
#include "strings/XStringW.h"
#include "strings/XStringWList.h"

namespace config_test {

std::wstring Text(const XStringW& text);
inline XStringW W(const std::wstring& text)
{
    return XStringW(text.c_str());
}
std::vector<std::wstring> Names(const XStringWList& list);
std::string Shown(const std::wstring& text);  // printable, with line feeds and nulls spelled out

// Creates the key when it is missing.
void WriteBytes(HKEY root, const std::wstring& keyPath, const std::wstring& valueName, DWORD type,
                const void* data, size_t byteCount);
// With or without the terminating null the platform normally stores.
inline void WriteString(HKEY root, const std::wstring& keyPath, const std::wstring& valueName,
                        const std::wstring& text, DWORD type = REG_SZ, bool withTerminator = true)
{
    WriteBytes(root, keyPath, valueName, type, text.c_str(),
               (text.size() + (withTerminator ? 1 : 0)) * sizeof(wchar_t));
}
inline void WriteDword(HKEY root, const std::wstring& keyPath, const std::wstring& valueName,
                       DWORD value)
{
    WriteBytes(root, keyPath, valueName, REG_DWORD, &value, sizeof(value));
}
// The raw value: type and bytes; type REG_NONE and no bytes when it is absent.
std::pair<DWORD, std::vector<BYTE>> ReadRaw(HKEY root, const std::wstring& keyPath,
                                            const std::wstring& valueName);
// The text of a REG_SZ value, or "<absent>" / "<type N>" for anything else.
std::wstring ReadStringOrState(HKEY root, const std::wstring& keyPath,
                               const std::wstring& valueName);

bool KeyExists(HKEY root, const std::wstring& keyPath);
std::vector<std::wstring> SubKeys(HKEY root, const std::wstring& keyPath);
void DeleteTree(HKEY root, const std::wstring& keyPath);

// The string SID of the account this process runs as, found by name as "<computer>\<user>".
std::wstring CurrentUserSidByName();

// HKCU\Software\QuorbelTests\<name>, fresh when built and removed with its tree afterwards.
class ScratchKey {
public:
    explicit ScratchKey(const std::wstring& name);
    ~ScratchKey();
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;
    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& child) const { return path_ + L"\\" + child; }

private:
    std::wstring path_;
};

using testing_support::TraceCapture;
using testing_support::Occurrences;

}  // namespace config_test
