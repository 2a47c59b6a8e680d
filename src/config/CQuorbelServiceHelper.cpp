#include "config/CQuorbelServiceHelper.h"

#include <windows.h>

#include "config/CRegHelper.h"
#include "trace/Trace.h"

namespace {

constexpr const wchar_t* kPathValue = L"Path";
constexpr const wchar_t* kStatusValue = L"Status";
constexpr const wchar_t* kIntervalValue = L"Interval";
constexpr const wchar_t* kStatusActive = L"1";
constexpr const wchar_t* kStatusPaused = L"0";

// Below HKEY_CURRENT_USER: Software\QUORBEL\QuorbelService\<entry name>.
XStringW EntryKeyPath(const XStringW& entryName)
{
    XStringW path(CQuorbelServiceHelper::kBaseKeyPath);
    path.AppendFormat(L"\\%@", entryName);
    return path;
}

// Below HKEY_USERS: <sid>\Software\QUORBEL\QuorbelService\<entry name>.
XStringW UserEntryKeyPath(const XStringW& sid, const XStringW& entryName)
{
    XStringW path(sid);
    path.AppendFormat(L"\\%s\\%@", CQuorbelServiceHelper::kBaseKeyPath, entryName);
    return path;
}

// Empty, non-numeric and non-string Status values read as -1; only a value reading as exactly 0
// pauses an entry.
int ReadStatus(HKEY root, const XStringW& entryKeyPath)
{
    return CRegHelper::GetStringValue(root, entryKeyPath, kStatusValue).ToInt();
}

// Writes newStatus only when the entry's Status reads as requiredStatus; any other entry, a
// missing one included, is left as it is. Traced under the public operation's name.
void SwitchStatus(const XStringA& functionName, int line, const XStringW& entryName,
                  int requiredStatus, const wchar_t* newStatus)
{
    TraceLog(functionName, line, L"Start");
    const XStringW keyPath = EntryKeyPath(entryName);
    if (ReadStatus(HKEY_CURRENT_USER, keyPath) == requiredStatus) {
        CRegHelper::SetValue(keyPath, kStatusValue, newStatus);
    }
    TraceLog(functionName, line, L"End");
}

}  // namespace

void CQuorbelServiceHelper::AddList(const XStringW& entryName, const XStringW& path)
{
    TraceLog("CQuorbelServiceHelper::AddList", __LINE__, L"Start");
    const XStringW keyPath = EntryKeyPath(entryName);
    CRegHelper::SetValue(keyPath, kPathValue, path);
    CRegHelper::SetValue(keyPath, kStatusValue, kStatusActive);
    TraceLog("CQuorbelServiceHelper::AddList", __LINE__, L"End");
}

void CQuorbelServiceHelper::RemoveList(const XStringW& entryName)
{
    TraceLog("CQuorbelServiceHelper::RemoveList", __LINE__, L"Start");
    // An empty name would make the entry's key path the base key itself, and deleting that
    // would take the user's settings (the interval) with it. A missing entry is no error: the
    // result is not looked at.
    if (!entryName.IsEmpty()) {
        RegDeleteKeyExW(HKEY_CURRENT_USER, EntryKeyPath(entryName).GetString(), KEY_WOW64_64KEY,
                        0);
    }
    TraceLog("CQuorbelServiceHelper::RemoveList", __LINE__, L"End");
}

void CQuorbelServiceHelper::PauseList(const XStringW& entryName)
{
    SwitchStatus("CQuorbelServiceHelper::PauseList", __LINE__, entryName, 1, kStatusPaused);
}

void CQuorbelServiceHelper::RestartList(const XStringW& entryName)
{
    SwitchStatus("CQuorbelServiceHelper::RestartList", __LINE__, entryName, 0, kStatusActive);
}

void CQuorbelServiceHelper::RestartAllList()
{
    const XStringWList names = GetAllList();
    for (int i = 0; i < names.GetCount(); ++i) {
        RestartList(names.GetCopyAt(i));
    }
}

XStringWList CQuorbelServiceHelper::GetAllList()
{
    return CRegHelper::GetSubKeyList(HKEY_CURRENT_USER, kBaseKeyPath);
}

XStringW CQuorbelServiceHelper::UserBaseKeyPath(const XStringW& sid)
{
    XStringW path(sid);
    path.AppendFormat(L"\\%s", kBaseKeyPath);
    return path;
}

XStringWList CQuorbelServiceHelper::GetActiveList(const XStringW& sid)
{
    // The base key is opened once for the whole list; every entry's Status is read below it.
    XStringWList active;
    const auto addIfActive = [&](HKEY baseKey, const XStringW& name) {
        if (ReadStatus(baseKey, name) != 0) {
            active.Add(name);
        }
    };
    CRegHelper::ForEachSubKey(HKEY_USERS, UserBaseKeyPath(sid), addIfActive);
    return active;
}

XStringW CQuorbelServiceHelper::GetListPath(const XStringW& sid, const XStringW& entryName)
{
    // A path is a REG_SZ; what another type reads as (a REG_MULTI_SZ's strings and line feeds)
    // is no program path, so it reads as no path at all.
    const XStringW keyPath = UserEntryKeyPath(sid, entryName);
    XStringW path;
    if (CRegHelper::GetValueType(HKEY_USERS, keyPath, kPathValue) == REG_SZ) {
        DWORD unusedNumber = 0;
        DWORD unusedSize = 0;
        CRegHelper::GetValue(HKEY_USERS, keyPath, kPathValue, path, unusedNumber, unusedSize);
    }
    return path;
}

XStringW CQuorbelServiceHelper::GetInterval(const XStringW& sid)
{
    return CRegHelper::GetStringValue(HKEY_USERS, UserBaseKeyPath(sid), kIntervalValue);
}
