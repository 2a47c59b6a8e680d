#include "config/RelaunchRequest.h"

#include "common/FileTime.h"
#include "common/ScopedHandle.h"
#include "config/CQuorbelServiceHelper.h"
#include "config/CRegHelper.h"
#include "config/EntryStateStore.h"
#include "trace/Trace.h"

namespace {

// The entry's key below HKEY_CURRENT_USER, for setting and deleting the request.
LONG OpenUserEntry(const XStringW& entryName, ScopedRegKey& key)
{
    return ::RegOpenKeyExW(HKEY_CURRENT_USER,
                           CQuorbelServiceHelper::EntryKeyPath(entryName).GetString(), 0,
                           KEY_SET_VALUE | KEY_WOW64_64KEY, key.Receive());
}

// Notes the time of a request in the value of the entry's key.
LONG WriteRequest(const XStringW& entryName, const wchar_t* valueName)
{
    ScopedRegKey key;
    LONG status = OpenUserEntry(entryName, key);
    if (status == ERROR_SUCCESS) {
        const ULONGLONG now = EntryStateStore::FileTimeNow();
        status = registry_seam::setValue(key.Get(), valueName, 0, REG_QWORD,
                                         reinterpret_cast<const BYTE*>(&now), sizeof(now));
    }
    if (status != ERROR_SUCCESS) {
        TraceError("relaunch_request::WriteRequest", __LINE__,
                   L"%@: the request %s was not noted (%d)", entryName, valueName,
                   static_cast<int>(status));
    }
    return status;
}

// The time a request of the value was written (a FILETIME value), or 0 when none stands or it is
// not a time; the value goes whenever found.
ULONGLONG TakeRequest(const XStringW& sid, const XStringW& entryName, const wchar_t* valueName)
{
    ScopedRegKey key;
    if (::RegOpenKeyExW(HKEY_USERS,
                        CQuorbelServiceHelper::UserEntryKeyPath(sid, entryName).GetString(), 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY,
                        key.Receive()) != ERROR_SUCCESS) {
        return 0;
    }
    ULONGLONG at = 0;
    DWORD type = REG_NONE;
    DWORD byteCount = sizeof(at);
    const LONG status = ::RegQueryValueExW(key.Get(), valueName, nullptr, &type,
                                           reinterpret_cast<BYTE*>(&at), &byteCount);
    if (status == ERROR_FILE_NOT_FOUND) {
        return 0;
    }
    CRegHelper::DeleteValue(key.Get(), valueName);
    if (status != ERROR_SUCCESS || type != REG_QWORD || byteCount != sizeof(at)) {
        return 0;
    }
    return at;
}

}  // namespace

namespace relaunch_request {

LONG Write(const XStringW& entryName)
{
    return WriteRequest(entryName, kValueName);
}

void Withdraw(const XStringW& entryName)
{
    ScopedRegKey key;
    if (OpenUserEntry(entryName, key) == ERROR_SUCCESS) {
        CRegHelper::DeleteValue(key.Get(), kValueName);
    }
}

bool Take(const XStringW& sid, const XStringW& entryName, ULONGLONG endedAt)
{
    const ULONGLONG at = TakeRequest(sid, entryName, kValueName);
    if (at == 0) {
        return false;
    }
    const ULONGLONG end = endedAt != 0 ? endedAt : EntryStateStore::FileTimeNow();
    // A request written after the end did not cause it: the program, or its user, cannot explain
    // an end away afterwards.
    if (at > end || end - at > kValidMs * kFileTimeTicksPerMs) {
        TraceLog("relaunch_request::Take", __LINE__,
                 L"%@: a relaunch request not written shortly before the end is not honoured",
                 entryName);
        return false;
    }
    return true;
}

}  // namespace relaunch_request

namespace start_request {

LONG Write(const XStringW& entryName)
{
    return WriteRequest(entryName, kValueName);
}

bool Take(const XStringW& sid, const XStringW& entryName)
{
    const ULONGLONG at = TakeRequest(sid, entryName, kValueName);
    const ULONGLONG now = EntryStateStore::FileTimeNow();
    // A clock set back a little since the request still lets it count.
    const ULONGLONG slack = 5000 * kFileTimeTicksPerMs;
    return at != 0 && at <= now + slack &&
           (at >= now || now - at <= kValidMs * kFileTimeTicksPerMs);
}

}  // namespace start_request
