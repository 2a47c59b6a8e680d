#include "config/CrashDialog.h"

#include "config/CQuorbelServiceHelper.h"
#include "config/CRegHelper.h"
#include "common/ScopedHandle.h"

namespace {
// Where Windows Error Reporting reads whether to keep a dump of a crashed program: the key itself
// for every program, a subkey named after the image for one.
constexpr const wchar_t* kLocalDumpsKeyPath =
    L"SOFTWARE\\Microsoft\\Windows\\Windows Error Reporting\\LocalDumps";

bool KeyExists(const XStringW& path)
{
    ScopedRegKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.GetString(), 0,
                           KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.Receive()) == ERROR_SUCCESS;
}

bool Read(HKEY root, const XStringW& entryKeyPath)
{
    XStringW text;
    DWORD number = 0;
    DWORD size = 0;
    const DWORD type =
        CRegHelper::GetValue(root, entryKeyPath, crash_dialog::kValueName, text, number, size);
    return crash_dialog::FromValue(type, text, number);
}
}  // namespace

namespace crash_dialog {

bool FromValue(DWORD type, const XStringW& text, DWORD number)
{
    if (type == REG_DWORD) {
        return number != 0;
    }
    return type == REG_SZ && text == kShown;
}

bool ForKey(HKEY entryKey)
{
    return Read(entryKey, XStringW());
}

bool ForUserEntry(const XStringW& entryName)
{
    return Read(HKEY_CURRENT_USER, CQuorbelServiceHelper::EntryKeyPath(entryName));
}

bool DumpsAskedFor(const XStringW& imageName)
{
    XStringW perProgram(kLocalDumpsKeyPath);
    perProgram.AppendFormat(L"\\%@", imageName);
    return KeyExists(XStringW(kLocalDumpsKeyPath)) || KeyExists(perProgram);
}

}  // namespace crash_dialog
