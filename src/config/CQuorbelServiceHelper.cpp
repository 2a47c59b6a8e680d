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

// Refuses an invalid name with an error line under the public operation's name.
bool AcceptEntryName(const XStringA& functionName, int line, const XStringW& entryName)
{
    if (CQuorbelServiceHelper::IsValidEntryName(entryName)) {
        return true;
    }
    TraceError(functionName, line, L"invalid entry name \"%@\"", entryName);
    return false;
}

// Writes newStatus only when the entry's Status reads as requiredStatus; any other entry, a
// missing one included, is left as it is. Traced under the public operation's name.
WatchListResult SwitchStatus(const XStringA& functionName, int line, const XStringW& entryName,
                             int requiredStatus, const wchar_t* newStatus)
{
    TraceLog(functionName, line, L"Start");
    WatchListResult result = WatchListResult::kInvalidName;
    if (AcceptEntryName(functionName, line, entryName)) {
        const XStringW keyPath = EntryKeyPath(entryName);
        const int status = ReadStatus(HKEY_CURRENT_USER, keyPath);
        if (status == requiredStatus) {
            result = CRegHelper::SetValue(keyPath, kStatusValue, newStatus)
                         ? WatchListResult::kDone
                         : WatchListResult::kFailed;
        } else if (!CRegHelper::KeyExists(HKEY_CURRENT_USER, keyPath)) {
            result = WatchListResult::kNoSuchEntry;
        } else if (XStringW(newStatus).ToInt() == status) {
            result = WatchListResult::kAlreadySo;
        } else {
            result = WatchListResult::kStatusUnreadable;
        }
    }
    TraceLog(functionName, line, L"End");
    return result;
}

// The Interval as text: a string as it is, a REG_DWORD in decimal, anything else as no value.
XStringW ReadInterval(HKEY root, const XStringW& baseKeyPath)
{
    DWORD type = REG_NONE;
    XStringW text = CRegHelper::GetStringValue(root, baseKeyPath, kIntervalValue, &type);
    if (type == REG_DWORD) {
        DWORD number = 0;
        DWORD size = 0;
        CRegHelper::GetValue(root, baseKeyPath, kIntervalValue, text, number, size);
    }
    return text;
}

}  // namespace

bool CQuorbelServiceHelper::IsValidEntryName(const XStringW& entryName)
{
    return !entryName.IsEmpty() && entryName.GetLength() <= kMaxEntryNameChars &&
           entryName.Find(L"\\") < 0;
}

WatchListResult CQuorbelServiceHelper::AddList(const XStringW& entryName, const XStringW& path)
{
    TraceLog("CQuorbelServiceHelper::AddList", __LINE__, L"Start");
    WatchListResult result = WatchListResult::kInvalidName;
    if (AcceptEntryName("CQuorbelServiceHelper::AddList", __LINE__, entryName)) {
        const XStringW keyPath = EntryKeyPath(entryName);
        const bool written = CRegHelper::SetValue(keyPath, kPathValue, path) &&
                             CRegHelper::SetValue(keyPath, kStatusValue, kStatusActive);
        result = written ? WatchListResult::kDone : WatchListResult::kFailed;
    }
    TraceLog("CQuorbelServiceHelper::AddList", __LINE__, L"End");
    return result;
}

WatchListResult CQuorbelServiceHelper::RemoveList(const XStringW& entryName)
{
    TraceLog("CQuorbelServiceHelper::RemoveList", __LINE__, L"Start");
    // An empty name or one with a backslash would address another key than the entry's, the
    // base key with the user's settings (the interval) among them.
    WatchListResult result = WatchListResult::kInvalidName;
    if (AcceptEntryName("CQuorbelServiceHelper::RemoveList", __LINE__, entryName)) {
        const LONG status = RegDeleteKeyExW(HKEY_CURRENT_USER,
                                            EntryKeyPath(entryName).GetString(), KEY_WOW64_64KEY, 0);
        if (status == ERROR_SUCCESS) {
            result = WatchListResult::kDone;
        } else if (status == ERROR_FILE_NOT_FOUND) {
            result = WatchListResult::kNoSuchEntry;
        } else {
            result = WatchListResult::kFailed;
        }
    }
    TraceLog("CQuorbelServiceHelper::RemoveList", __LINE__, L"End");
    return result;
}

WatchListResult CQuorbelServiceHelper::PauseList(const XStringW& entryName)
{
    return SwitchStatus("CQuorbelServiceHelper::PauseList", __LINE__, entryName, 1, kStatusPaused);
}

WatchListResult CQuorbelServiceHelper::RestartList(const XStringW& entryName)
{
    return SwitchStatus("CQuorbelServiceHelper::RestartList", __LINE__, entryName, 0,
                        kStatusActive);
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
    DWORD type = REG_NONE;
    const XStringW path =
        CRegHelper::GetStringValue(HKEY_USERS, UserEntryKeyPath(sid, entryName), kPathValue, &type);
    return type == REG_SZ ? path : XStringW();
}

XStringW CQuorbelServiceHelper::GetInterval(const XStringW& sid)
{
    return ReadInterval(HKEY_USERS, UserBaseKeyPath(sid));
}

XStringW CQuorbelServiceHelper::GetUserListPath(const XStringW& entryName)
{
    return CRegHelper::GetStringValue(HKEY_CURRENT_USER, EntryKeyPath(entryName), kPathValue);
}

XStringW CQuorbelServiceHelper::GetUserListStatus(const XStringW& entryName)
{
    return CRegHelper::GetStringValue(HKEY_CURRENT_USER, EntryKeyPath(entryName), kStatusValue);
}

XStringW CQuorbelServiceHelper::GetUserInterval()
{
    return ReadInterval(HKEY_CURRENT_USER, kBaseKeyPath);
}
