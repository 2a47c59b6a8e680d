#include "config/CQuorbelServiceHelper.h"

#include <windows.h>

#include "common/ScopedHandle.h"
#include "config/CRegHelper.h"
#include "config/AliveCheck.h"
#include "config/HangTimeout.h"
#include "config/RelaunchRequest.h"
#include "trace/Trace.h"

namespace {

constexpr const wchar_t* kPathValue = L"Path";
constexpr const wchar_t* kStatusValue = L"Status";
constexpr const wchar_t* kArgumentsValue = L"Arguments";
constexpr const wchar_t* kDirectoryValue = L"Directory";
constexpr const wchar_t* kIntervalValue = L"Interval";
constexpr const wchar_t* kStatusActive = L"1";
constexpr const wchar_t* kStatusPaused = L"0";

// Empty, non-numeric and non-string Status values read as -1; only a value reading as exactly 0
// pauses an entry.
int ReadStatus(HKEY root, const XStringW& entryKeyPath)
{
    return CRegHelper::GetStringValue(root, entryKeyPath, kStatusValue).ToInt();
}

// A REG_SZ of an entry. What another type reads as (a REG_MULTI_SZ's strings and line feeds) is
// no path or command-line text, so it reads as none at all.
XStringW ReadEntryText(HKEY root, const XStringW& entryKeyPath, const wchar_t* valueName)
{
    DWORD type = REG_NONE;
    const XStringW text = CRegHelper::GetStringValue(root, entryKeyPath, valueName, &type);
    return type == REG_SZ ? text : XStringW();
}

// Below HKEY_USERS\<sid>.
XStringW ReadEntryText(const XStringW& sid, const XStringW& entryName, const wchar_t* valueName)
{
    return ReadEntryText(HKEY_USERS, CQuorbelServiceHelper::UserEntryKeyPath(sid, entryName),
                         valueName);
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

// Stores the registry's status for the answer and gives the result it stands for: a key that is
// not (or no longer) there is no such entry.
WatchListResult ResultOf(LONG status, WatchListEdit* edit)
{
    if (edit != nullptr) {
        edit->error = status;
    }
    if (status == ERROR_SUCCESS) {
        return WatchListResult::kDone;
    }
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_KEY_DELETED) {
        return WatchListResult::kNoSuchEntry;
    }
    return WatchListResult::kFailed;
}

// Writes newStatus only when the entry's Status reads as requiredStatus; any other entry, a
// missing one included, is left as it is. Traced under the public operation's name.
WatchListResult SwitchStatus(const XStringA& functionName, int line, const XStringW& entryName,
                             int requiredStatus, const wchar_t* newStatus, WatchListEdit* edit)
{
    TraceLog(functionName, line, L"Start");
    WatchListResult result = WatchListResult::kInvalidName;
    if (AcceptEntryName(functionName, line, entryName)) {
        const XStringW keyPath = CQuorbelServiceHelper::EntryKeyPath(entryName);
        const int status = ReadStatus(HKEY_CURRENT_USER, keyPath);
        if (status == requiredStatus) {
            // Written only into the key that is there: a remove in between leaves no key behind.
            result = ResultOf(CRegHelper::SetExistingValue(keyPath, kStatusValue, newStatus), edit);
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

// The values an add writes, in the order it writes them; Arguments only when there are any,
// Directory only when one is given; HangTimeout (as decimal text) only when one is given.
LONG WriteEntry(HKEY key, const XStringW& path, const XStringW& arguments, DWORD hangTimeout,
                const XStringW& directory, const XStringW* aliveCheck,
                crash_dialog::Change crashDialog)
{
    LONG status = CRegHelper::WriteString(key, kPathValue, path);
    if (status == ERROR_SUCCESS) {
        status = arguments.IsEmpty() ? CRegHelper::DeleteValue(key, kArgumentsValue)
                                     : CRegHelper::WriteString(key, kArgumentsValue, arguments);
    }
    if (status == ERROR_SUCCESS && !directory.IsEmpty()) {
        status = CRegHelper::WriteString(key, kDirectoryValue, directory);
    }
    if (status == ERROR_SUCCESS && hangTimeout != CQuorbelServiceHelper::kKeepHangTimeout) {
        XStringW seconds;
        seconds.Format(L"%u", hangTimeout);
        status = hangTimeout == 0 ? CRegHelper::DeleteValue(key, hang_timeout::kValueName)
                                  : CRegHelper::WriteString(key, hang_timeout::kValueName, seconds);
    }
    if (status == ERROR_SUCCESS && aliveCheck != nullptr) {
        status = aliveCheck->IsEmpty()
                     ? CRegHelper::DeleteValue(key, alive_check::kValueName)
                     : CRegHelper::WriteString(key, alive_check::kValueName, *aliveCheck);
    }
    if (status == ERROR_SUCCESS && crashDialog != crash_dialog::Change::kKeep) {
        status = crashDialog == crash_dialog::Change::kHide
                     ? CRegHelper::DeleteValue(key, crash_dialog::kValueName)
                     : CRegHelper::WriteString(key, crash_dialog::kValueName, crash_dialog::kShown);
    }
    if (status == ERROR_SUCCESS) {
        status = CRegHelper::WriteString(key, kStatusValue, kStatusActive);
    }
    return status;
}

// The values of an existing entry that an add overwrites, to be put back when it fails.
struct EntrySnapshot {
    RawRegistryValue path;
    RawRegistryValue arguments;
    RawRegistryValue directory;
    RawRegistryValue status;
    RawRegistryValue hangTimeout;
    RawRegistryValue aliveCheck;
    RawRegistryValue crashDialog;
};

EntrySnapshot TakeSnapshot(HKEY key)
{
    return {CRegHelper::ReadRaw(key, kPathValue), CRegHelper::ReadRaw(key, kArgumentsValue),
            CRegHelper::ReadRaw(key, kDirectoryValue), CRegHelper::ReadRaw(key, kStatusValue),
            CRegHelper::ReadRaw(key, hang_timeout::kValueName),
            CRegHelper::ReadRaw(key, alive_check::kValueName),
            CRegHelper::ReadRaw(key, crash_dialog::kValueName)};
}

void RestoreSnapshot(HKEY key, const EntrySnapshot& snapshot)
{
    CRegHelper::RestoreRaw(key, kPathValue, snapshot.path);
    CRegHelper::RestoreRaw(key, kArgumentsValue, snapshot.arguments);
    CRegHelper::RestoreRaw(key, kDirectoryValue, snapshot.directory);
    CRegHelper::RestoreRaw(key, kStatusValue, snapshot.status);
    CRegHelper::RestoreRaw(key, hang_timeout::kValueName, snapshot.hangTimeout);
    CRegHelper::RestoreRaw(key, crash_dialog::kValueName, snapshot.crashDialog);
    CRegHelper::RestoreRaw(key, alive_check::kValueName, snapshot.aliveCheck);
}

WatchListResult WriteEntryKey(const XStringW& entryName, const XStringW& path,
                              const XStringW& arguments, DWORD hangTimeout,
                              const XStringW& directory, const XStringW* aliveCheck,
                              crash_dialog::Change crashDialog,
                              WatchListEdit* edit)
{
    const XStringW keyPath = CQuorbelServiceHelper::EntryKeyPath(entryName);
    ScopedRegKey key;
    bool created = false;
    LONG status = CRegHelper::CreateKey(keyPath, key, created);
    if (status != ERROR_SUCCESS) {
        ResultOf(status, edit);
        return WatchListResult::kFailed;
    }
    EntrySnapshot before;
    if (!created) {
        before = TakeSnapshot(key.Get());
        if (edit != nullptr) {
            edit->replaced = true;
            edit->previousPath = CRegHelper::GetStringValue(key.Get(), XStringW(), kPathValue);
            edit->previousArguments =
                CRegHelper::GetStringValue(key.Get(), XStringW(), kArgumentsValue);
            edit->previousDirectory =
                CRegHelper::GetStringValue(key.Get(), XStringW(), kDirectoryValue);
            if (hangTimeout == CQuorbelServiceHelper::kKeepHangTimeout) {
                edit->keptHangTimeout = hang_timeout::ForUserEntry(entryName);
            }
            if (crashDialog == crash_dialog::Change::kKeep) {
                edit->keptCrashDialog = crash_dialog::ForUserEntry(entryName);
            }
            edit->previousAliveCheck =
                CRegHelper::GetStringValue(key.Get(), XStringW(), alive_check::kValueName);
        }
    }
    status =
        WriteEntry(key.Get(), path, arguments, hangTimeout, directory, aliveCheck, crashDialog);
    if (status != ERROR_SUCCESS) {
        // Nothing half-written stays: the new key goes, an existing entry gets its values back.
        TraceError("CQuorbelServiceHelper::AddList", __LINE__,
                   L"add of %@ failed (error %d), rolled back", entryName, status);
        if (created) {
            key.Reset();
            CRegHelper::DeleteKey(keyPath);
        } else {
            RestoreSnapshot(key.Get(), before);
        }
    }
    // A key that vanished in the middle of the add was not added: that is a failure, not "no
    // such entry".
    const WatchListResult result = ResultOf(status, edit);
    return result == WatchListResult::kNoSuchEntry ? WatchListResult::kFailed : result;
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

WatchListResult CQuorbelServiceHelper::AddList(const XStringW& entryName, const XStringW& path,
                                               const XStringW& arguments, WatchListEdit* edit,
                                               DWORD hangTimeout, const XStringW& directory,
                                               const XStringW* aliveCheck,
                                               crash_dialog::Change crashDialog)
{
    TraceLog("CQuorbelServiceHelper::AddList", __LINE__, L"Start");
    WatchListResult result = WatchListResult::kInvalidName;
    if (AcceptEntryName("CQuorbelServiceHelper::AddList", __LINE__, entryName)) {
        result = WriteEntryKey(entryName, path, arguments, hangTimeout, directory, aliveCheck,
                               crashDialog,
                               edit);
    }
    TraceLog("CQuorbelServiceHelper::AddList", __LINE__, L"End");
    return result;
}

WatchListResult CQuorbelServiceHelper::RemoveList(const XStringW& entryName, WatchListEdit* edit)
{
    TraceLog("CQuorbelServiceHelper::RemoveList", __LINE__, L"Start");
    // An empty name or one with a backslash would address another key than the entry's, the
    // base key with the user's settings (the interval) among them.
    WatchListResult result = WatchListResult::kInvalidName;
    if (AcceptEntryName("CQuorbelServiceHelper::RemoveList", __LINE__, entryName)) {
        result = ResultOf(CRegHelper::DeleteKey(EntryKeyPath(entryName)), edit);
    }
    TraceLog("CQuorbelServiceHelper::RemoveList", __LINE__, L"End");
    return result;
}

WatchListResult CQuorbelServiceHelper::PauseList(const XStringW& entryName, WatchListEdit* edit)
{
    return SwitchStatus("CQuorbelServiceHelper::PauseList", __LINE__, entryName, 1, kStatusPaused,
                        edit);
}

WatchListResult CQuorbelServiceHelper::RestartList(const XStringW& entryName, WatchListEdit* edit)
{
    return SwitchStatus("CQuorbelServiceHelper::RestartList", __LINE__, entryName, 0,
                        kStatusActive, edit);
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

XStringW CQuorbelServiceHelper::EntryKeyPath(const XStringW& entryName)
{
    XStringW path(kBaseKeyPath);
    path.AppendFormat(L"\\%@", entryName);
    return path;
}

XStringW CQuorbelServiceHelper::UserEntryKeyPath(const XStringW& sid, const XStringW& entryName)
{
    XStringW path(sid);
    path.AppendFormat(L"\\%s\\%@", kBaseKeyPath, entryName);
    return path;
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
        // Subkeys are enumerated by index, and keys added meanwhile shift the indices (a bulk
        // import of Bulk0 .. Bulk19 puts Bulk10 before Bulk2), so one name can come twice. Twice
        // on the list would start its program twice in one pass.
        if (active.Find(name) < 0 && ReadStatus(baseKey, name) != 0) {
            active.Add(name);
        }
    };
    CRegHelper::ForEachSubKey(HKEY_USERS, UserBaseKeyPath(sid), addIfActive);
    return active;
}

XStringW CQuorbelServiceHelper::GetListPath(const XStringW& sid, const XStringW& entryName)
{
    return ReadEntryText(sid, entryName, kPathValue);
}

XStringW CQuorbelServiceHelper::GetListArguments(const XStringW& sid, const XStringW& entryName)
{
    return ReadEntryText(sid, entryName, kArgumentsValue);
}

XStringW CQuorbelServiceHelper::GetListDirectory(const XStringW& sid, const XStringW& entryName)
{
    return ReadEntryText(sid, entryName, kDirectoryValue);
}

ListEntrySettings CQuorbelServiceHelper::GetListEntry(const XStringW& sid,
                                                      const XStringW& entryName)
{
    ListEntrySettings entry;
    ScopedRegKey key;
    const LONG status = ::RegOpenKeyExW(HKEY_USERS, UserEntryKeyPath(sid, entryName).GetString(),
                                        0, KEY_READ | KEY_WOW64_64KEY, key.Receive());
    if (status != ERROR_SUCCESS) {
        TraceError("CQuorbelServiceHelper::GetListEntry", __LINE__,
                   L"%@ cannot be read (RegOpenKeyEx %d)", entryName, status);
        return entry;
    }
    // The values are read below the open key.
    const XStringW here;
    entry.path = ReadEntryText(key.Get(), here, kPathValue);
    entry.arguments = ReadEntryText(key.Get(), here, kArgumentsValue);
    entry.directory = ReadEntryText(key.Get(), here, kDirectoryValue);
    entry.hangTimeout = hang_timeout::ForKey(key.Get());
    entry.alive = alive_check::ForKey(key.Get(), entryName);
    entry.crashDialog = crash_dialog::ForKey(key.Get());
    entry.startRequested = ::RegQueryValueExW(key.Get(), start_request::kValueName, nullptr,
                                              nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    return entry;
}

XStringW CQuorbelServiceHelper::GetInterval(const XStringW& sid)
{
    return ReadInterval(HKEY_USERS, UserBaseKeyPath(sid));
}

XStringW CQuorbelServiceHelper::GetUserListPath(const XStringW& entryName, DWORD* type)
{
    return CRegHelper::GetStringValue(HKEY_CURRENT_USER, EntryKeyPath(entryName), kPathValue,
                                      type);
}

XStringW CQuorbelServiceHelper::GetUserListStatus(const XStringW& entryName)
{
    return CRegHelper::GetStringValue(HKEY_CURRENT_USER, EntryKeyPath(entryName), kStatusValue);
}

XStringW CQuorbelServiceHelper::GetUserListArguments(const XStringW& entryName)
{
    return ReadEntryText(HKEY_CURRENT_USER, EntryKeyPath(entryName), kArgumentsValue);
}

XStringW CQuorbelServiceHelper::GetUserListDirectory(const XStringW& entryName)
{
    return ReadEntryText(HKEY_CURRENT_USER, EntryKeyPath(entryName), kDirectoryValue);
}

XStringW CQuorbelServiceHelper::GetUserInterval()
{
    return ReadInterval(HKEY_CURRENT_USER, kBaseKeyPath);
}
