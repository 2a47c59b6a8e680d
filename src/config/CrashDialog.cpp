#include "config/CrashDialog.h"

#include "config/CQuorbelServiceHelper.h"
#include "config/CRegHelper.h"

namespace {
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

bool ForEntry(const XStringW& sid, const XStringW& entryName)
{
    return Read(HKEY_USERS, CQuorbelServiceHelper::UserEntryKeyPath(sid, entryName));
}

bool ForUserEntry(const XStringW& entryName)
{
    return Read(HKEY_CURRENT_USER, CQuorbelServiceHelper::EntryKeyPath(entryName));
}

}  // namespace crash_dialog
