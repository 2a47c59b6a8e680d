#include "config/CActiveListMonitor.h"

#include "config/CQuorbelServiceHelper.h"

namespace {
constexpr REGSAM kWatchAccess = KEY_NOTIFY | KEY_WOW64_64KEY;
constexpr DWORD kChangeFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
}  // namespace

CActiveListMonitor::CActiveListMonitor()
    : changed(::CreateEventW(nullptr, FALSE, FALSE, nullptr)), activeIsCurrent(false)
{
}

XStringWList CActiveListMonitor::GetActiveList(const XStringW& sid)
{
    if (!(sid == watchedSid.GetString()) || !baseKey) {
        activeIsCurrent = false;
        if (!Watch(sid)) {
            return CQuorbelServiceHelper::GetActiveList(sid);
        }
    }
    if (activeIsCurrent && ::WaitForSingleObject(changed.Get(), 0) == WAIT_TIMEOUT) {
        return active;
    }
    // Armed before the read, so that a change made while the list is read is not missed.
    activeIsCurrent = Arm();
    active = CQuorbelServiceHelper::GetActiveList(sid);
    if (!activeIsCurrent) {
        baseKey.Reset();  // tried again at the next call
    }
    return active;
}

bool CActiveListMonitor::Watch(const XStringW& sid)
{
    watchedSid = sid;
    baseKey.Reset();
    if (!changed) {
        return false;
    }
    const XStringW path = CQuorbelServiceHelper::UserBaseKeyPath(sid);
    return ::RegOpenKeyExW(HKEY_USERS, path.GetString(), 0, kWatchAccess, baseKey.Receive()) ==
           ERROR_SUCCESS;
}

bool CActiveListMonitor::Arm()
{
    ::ResetEvent(changed.Get());
    return ::RegNotifyChangeKeyValue(baseKey.Get(), TRUE, kChangeFilter, changed.Get(), TRUE) ==
           ERROR_SUCCESS;
}
