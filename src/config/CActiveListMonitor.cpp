#include "config/CActiveListMonitor.h"

#include <cstring>
#include <string>
#include <vector>

#include "config/CQuorbelServiceHelper.h"
#include "trace/Trace.h"

namespace {
constexpr REGSAM kWatchAccess = KEY_NOTIFY | KEY_QUERY_VALUE | KEY_WOW64_64KEY;
constexpr DWORD kChangeFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
constexpr int kKeyNameInformation = 3;  // KEY_INFORMATION_CLASS
using NtQueryKeyFunc = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);

// The key's full name in the registry's own namespace ("\REGISTRY\USER\<sid>\..."), empty when
// it cannot be told (a deleted key among them).
std::wstring FullKeyName(HKEY key)
{
    static const NtQueryKeyFunc query = reinterpret_cast<NtQueryKeyFunc>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryKey")));
    if (query == nullptr || key == nullptr) {
        return std::wstring();
    }
    std::vector<BYTE> buffer(1024);
    ULONG needed = 0;
    if (query(key, kKeyNameInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) <
        0) {
        return std::wstring();
    }
    // KEY_NAME_INFORMATION: a byte length, then the name without a terminator.
    ULONG length = 0;
    memcpy(&length, buffer.data(), sizeof(length));
    const wchar_t* name = reinterpret_cast<const wchar_t*>(buffer.data() + sizeof(ULONG));
    return std::wstring(name, length / sizeof(wchar_t));
}
bool SameNames(const XStringWList& a, const XStringWList& b)
{
    if (a.GetCount() != b.GetCount()) {
        return false;
    }
    for (int i = 0; i < a.GetCount(); ++i) {
        if (!(a.GetAt(i) == b.GetAt(i).GetString())) {
            return false;
        }
    }
    return true;
}
}  // namespace

CActiveListMonitor::CActiveListMonitor(ChangeCallback callback)
    // Manual reset: the thread-pool wait fires once per arming, and the reader can still look at
    // the event itself, so that an edit made just before a read is never missed for the lag of
    // the callback.
    : changed(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      changeWait(::CreateThreadpoolWait(&CActiveListMonitor::OnSignal, this, nullptr)),
      recheckTimer(::CreateThreadpoolTimer(&CActiveListMonitor::OnRecheck, this, nullptr)),
      stale(false),
      onChange(std::move(callback)),
      activeIsCurrent(false),
      readBefore(false),
      changeCount(0)
{
}

void CActiveListMonitor::ArmRecheck()
{
    if (!recheckTimer) {
        return;
    }
    // Relative due time in 100 ns units, then the period in milliseconds; a window lets the pool
    // fold the tick in with other work.
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(kRecheckMs) * 10000;
    FILETIME dueTime;
    dueTime.dwLowDateTime = static_cast<DWORD>(due.QuadPart & 0xFFFFFFFF);
    dueTime.dwHighDateTime = static_cast<DWORD>(due.QuadPart >> 32);
    ::SetThreadpoolTimer(recheckTimer.Get(), &dueTime, kRecheckMs, 1000);
}

CActiveListMonitor::~CActiveListMonitor()
{
    // The callbacks go first: they use this object.
    recheckTimer.Reset();
    changeWait.Reset();
}

void CActiveListMonitor::MarkStale()
{
    stale.store(true);
    if (onChange) {
        onChange();
    }
}

void CALLBACK CActiveListMonitor::OnSignal(PTP_CALLBACK_INSTANCE, void* context, PTP_WAIT,
                                           TP_WAIT_RESULT)
{
    static_cast<CActiveListMonitor*>(context)->MarkStale();
}

// Wakes the watch thread only when the held key is no longer the one at the path.
void CALLBACK CActiveListMonitor::OnRecheck(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER)
{
    CActiveListMonitor* const self = static_cast<CActiveListMonitor*>(context);
    bool moved = false;
    {
        const MutexLock guard(self->keyLock, MutexLock::Access::kShared);
        if (self->baseKey) {
            moved = !self->StillAtPath(self->watchedSid);
        }
    }
    if (moved) {
        self->MarkStale();
    }
}

XStringWList CActiveListMonitor::GetActiveList(const XStringW& sid)
{
    if (sid.IsEmpty()) {
        Close();
        return CQuorbelServiceHelper::GetActiveList(sid);
    }
    bool replaced = false;
    const bool notified = stale.exchange(false) ||
                          (changed && ::WaitForSingleObject(changed.Get(), 0) == WAIT_OBJECT_0);
    if (baseKey && sid == watchedSid.GetString() && notified) {
        if (!StillAtPath(sid)) {
            TraceLog("CActiveListMonitor::GetActiveList", __LINE__,
                     L"the watched key is no longer the watch list, watching the key at the path");
            Close();
            replaced = true;
        }
    }
    if (!(sid == watchedSid.GetString()) || !baseKey) {
        const bool otherUser = readBefore && !(sid == watchedSid.GetString());
        const bool wasWatched = activeIsCurrent;
        activeIsCurrent = false;
        if (!Watch(sid)) {
            return ReadUnwatched(sid, replaced || wasWatched || otherUser);
        }
        // A list read before, also from a key that could not be watched, is replaced: the
        // reader takes every entry's settings afresh, the first list of a key just made included.
        replaced = replaced || wasWatched || readBefore;
    }
    if (activeIsCurrent && !notified) {
        return active;
    }
    if (activeIsCurrent || replaced) {
        ++changeCount;
    }
    // Armed before the read, so that a change made while the list is read is not missed.
    activeIsCurrent = Arm();
    active = CQuorbelServiceHelper::GetActiveList(sid);
    readBefore = true;
    if (!activeIsCurrent) {
        const MutexLock guard(keyLock);
        baseKey.Reset();  // tried again at the next call
    }
    return active;
}

XStringWList CActiveListMonitor::ReadUnwatched(const XStringW& sid, bool replaced)
{
    // Until the list's key exists, the nearest key above it that does is watched for new
    // subkeys, so that the first edit wakes the reader at once rather than at its next interval.
    WatchAncestor(sid);
    XStringWList list = CQuorbelServiceHelper::GetActiveList(sid);
    if (replaced || (readBefore && !SameNames(list, active))) {
        ++changeCount;
    }
    active = list;
    readBefore = true;
    return list;
}

void CActiveListMonitor::WatchAncestor(const XStringW& sid)
{
    if (!changed || !changeWait) {
        return;
    }
    // Armed already and not fired: re-arming would only churn handles.
    if (ancestorKey && ::WaitForSingleObject(changed.Get(), 0) == WAIT_TIMEOUT) {
        return;
    }
    std::wstring path(CQuorbelServiceHelper::UserBaseKeyPath(sid).GetString());
    ScopedRegKey ancestor;
    while (!ancestor) {
        const std::size_t cut = path.rfind(L'\\');
        if (cut == std::wstring::npos) {
            return;
        }
        path.resize(cut);
        if (::RegOpenKeyExW(HKEY_USERS, path.c_str(), 0, kWatchAccess, ancestor.Receive()) !=
            ERROR_SUCCESS) {
            ancestor.Reset();
        }
    }
    ::ResetEvent(changed.Get());
    // Its own subkeys only: a change deeper down (or elsewhere in the user's software) is none of
    // the list's business.
    if (::RegNotifyChangeKeyValue(ancestor.Get(), FALSE, REG_NOTIFY_CHANGE_NAME, changed.Get(),
                                  TRUE) != ERROR_SUCCESS) {
        return;
    }
    ::SetThreadpoolWait(changeWait.Get(), changed.Get(), nullptr);
    const MutexLock guard(keyLock);
    ancestorKey = std::move(ancestor);
}

bool CActiveListMonitor::Watch(const XStringW& sid)
{
    ScopedRegKey opened;
    const XStringW path = CQuorbelServiceHelper::UserBaseKeyPath(sid);
    const bool watchable =
        changed && changeWait &&
        ::RegOpenKeyExW(HKEY_USERS, path.GetString(), 0, kWatchAccess, opened.Receive()) ==
            ERROR_SUCCESS;
    {
        const MutexLock guard(keyLock);
        watchedSid = sid;
        baseKey = std::move(opened);
        ancestorKey.Reset();
    }
    if (watchable) {
        ArmRecheck();
    }
    return watchable;
}

bool CActiveListMonitor::Arm()
{
    ::ResetEvent(changed.Get());
    if (::RegNotifyChangeKeyValue(baseKey.Get(), TRUE, kChangeFilter, changed.Get(), TRUE) !=
        ERROR_SUCCESS) {
        return false;
    }
    ::SetThreadpoolWait(changeWait.Get(), changed.Get(), nullptr);
    return true;
}

bool CActiveListMonitor::StillAtPath(const XStringW& sid) const
{
    ScopedRegKey atPath;
    const XStringW path = CQuorbelServiceHelper::UserBaseKeyPath(sid);
    if (::RegOpenKeyExW(HKEY_USERS, path.GetString(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                        atPath.Receive()) != ERROR_SUCCESS) {
        return false;
    }
    const std::wstring held = FullKeyName(baseKey.Get());
    return !held.empty() && held == FullKeyName(atPath.Get());
}

void CActiveListMonitor::Close()
{
    if (changeWait) {
        ::SetThreadpoolWait(changeWait.Get(), nullptr, nullptr);
    }
    if (recheckTimer) {
        ::SetThreadpoolTimer(recheckTimer.Get(), nullptr, 0, 0);
    }
    {
        const MutexLock guard(keyLock);
        baseKey.Reset();
        ancestorKey.Reset();
        watchedSid = XStringW();
    }
    activeIsCurrent = false;
    readBefore = false;
    stale.store(false);
}
