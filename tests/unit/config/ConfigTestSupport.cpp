#include "ConfigTestSupport.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace config_test {

namespace {
constexpr REGSAM kAccess64 = KEY_WOW64_64KEY;
}  // namespace

std::wstring Text(const XStringW& text)
{
    return std::wstring(text.GetString(), static_cast<size_t>(text.GetLength()));
}

std::vector<std::wstring> Names(const XStringWList& list)
{
    std::vector<std::wstring> names;
    for (int i = 0; i < list.GetCount(); ++i) {
        names.push_back(Text(list.GetCopyAt(i)));
    }
    return names;
}

std::string Shown(const std::wstring& text)
{
    std::wstring shown;
    for (wchar_t c : text) {
        if (c == L'\n') {
            shown += L"\\n";
        } else if (c == L'\0') {
            shown += L"\\0";
        } else {
            shown += c;
        }
    }
    return "\"" + testing_support::Utf8(shown) + "\"";
}

void WriteBytes(HKEY root, const std::wstring& keyPath, const std::wstring& valueName, DWORD type,
                const void* data, size_t byteCount)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | kAccess64, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot create " << testing_support::Utf8(keyPath);
        return;
    }
    RegSetValueExW(key, valueName.c_str(), 0, type, static_cast<const BYTE*>(data),
                   static_cast<DWORD>(byteCount));
    RegCloseKey(key);
}

std::pair<DWORD, std::vector<BYTE>> ReadRaw(HKEY root, const std::wstring& keyPath,
                                            const std::wstring& valueName)
{
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, keyPath.c_str(), 0, KEY_READ | kAccess64, &key) != ERROR_SUCCESS) {
        return {type, bytes};
    }
    DWORD size = 0;
    if (RegQueryValueExW(key, valueName.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        bytes.resize(size + 1);
        RegQueryValueExW(key, valueName.c_str(), nullptr, &type, bytes.data(), &size);
        bytes.resize(size);
    }
    RegCloseKey(key);
    return {type, bytes};
}

std::wstring ReadStringOrState(HKEY root, const std::wstring& keyPath,
                               const std::wstring& valueName)
{
    const auto [type, bytes] = ReadRaw(root, keyPath, valueName);
    if (type == REG_NONE) {
        return L"<absent>";
    }
    if (type != REG_SZ) {
        return L"<type " + std::to_wstring(type) + L">";
    }
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()),
                      bytes.size() / sizeof(wchar_t));
    if (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
    return text;
}

bool KeyExists(HKEY root, const std::wstring& keyPath)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, keyPath.c_str(), 0, KEY_READ | kAccess64, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

std::vector<std::wstring> SubKeys(HKEY root, const std::wstring& keyPath)
{
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, keyPath.c_str(), 0, KEY_READ | kAccess64, &key) != ERROR_SUCCESS) {
        return names;
    }
    wchar_t name[256];
    for (DWORD index = 0; RegEnumKeyW(key, index, name, 256) == ERROR_SUCCESS; ++index) {
        names.emplace_back(name);
    }
    RegCloseKey(key);
    return names;
}

void DeleteTree(HKEY root, const std::wstring& keyPath)
{
    for (const std::wstring& child : SubKeys(root, keyPath)) {
        DeleteTree(root, keyPath + L"\\" + child);
    }
    RegDeleteKeyExW(root, keyPath.c_str(), kAccess64, 0);
}

std::wstring CurrentUserSidByName()
{
    wchar_t user[256] = {};
    DWORD userChars = 256;
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD computerChars = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetUserNameW(user, &userChars) || !GetComputerNameW(computer, &computerChars)) {
        return {};
    }
    const std::wstring account = std::wstring(computer) + L"\\" + user;
    alignas(SID) BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD sidBytes = sizeof(sid);
    wchar_t domain[256] = {};
    DWORD domainChars = 256;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountNameW(nullptr, account.c_str(), sid, &sidBytes, domain, &domainChars, &use)) {
        return {};
    }
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) {
        return {};
    }
    const std::wstring result = text;
    LocalFree(text);
    return result;
}

ScratchKey::ScratchKey(const std::wstring& name) : path_(L"Software\\QuorbelTests\\" + name)
{
    DeleteTree(HKEY_CURRENT_USER, path_);
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | kAccess64,
                        nullptr, &key, nullptr) == ERROR_SUCCESS) {
        RegCloseKey(key);
    }
}

ScratchKey::~ScratchKey()
{
    DeleteTree(HKEY_CURRENT_USER, path_);
    // The parent goes only when no other test keeps anything there.
    RegDeleteKeyExW(HKEY_CURRENT_USER, L"Software\\QuorbelTests", kAccess64, 0);
}

}  // namespace config_test
