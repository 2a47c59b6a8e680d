#pragma once
// The active entries of the logged-on user's watch list, read again only once the list has
// changed. The user's base key is watched, with all its entries, for added, removed and renamed
// keys and for written values; a change is caught by a thread-pool wait, which marks the list
// stale and calls the change callback (the watch thread's wake), and the next call reads the
// whole list afresh. A steady pass thus costs one look at a flag instead of a registry read per
// entry, while an edit takes effect at once. Where no base key can be watched (there is none yet,
// or the SID names no loaded hive) every call reads the list, and the nearest key above it that
// exists is watched for new subkeys, so that the list's first edit wakes the reader as well.
//
// A held key follows a rename, and under Wine a deleted empty key raises no notification, so the
// held key is checked against the key at the path on every notification and, by a thread-pool
// timer that wakes nothing while they agree, once a minute while a key is watched; when they
// differ, the key at the path is watched instead.

#include <windows.h>

#include <atomic>
#include <functional>

#include "common/ScopedHandle.h"
#include "strings/XStringW.h"
#include "strings/XStringWList.h"

class CActiveListMonitor {
public:
    using ChangeCallback = std::function<void()>;

    // The callback is called on a thread-pool thread for every change seen; it is in place
    // before any wait or timer is armed.
    explicit CActiveListMonitor(ChangeCallback callback = ChangeCallback());
    ~CActiveListMonitor();
    CActiveListMonitor(const CActiveListMonitor&) = delete;
    CActiveListMonitor& operator=(const CActiveListMonitor&) = delete;

    // What CQuorbelServiceHelper::GetActiveList gives for the SID now. An empty SID (no one
    // logged on) closes the watched key, so that no handle keeps a hive from unloading.
    XStringWList GetActiveList(const XStringW& sid);

    // Rises by one whenever a change of the watched list was read (not at the first read).
    unsigned ChangeCount() const { return changeCount; }
    // Whether the last list came from a watched key: every later edit of it, a value of an
    // entry included, then raises ChangeCount. A list read unwatched counts as changed only when
    // its names differ.
    bool IsWatched() const { return activeIsCurrent; }

    static constexpr DWORD kRecheckMs = 60000;

private:
    // Opens the SID's base key for watching; false when there is none.
    bool Watch(const XStringW& sid);
    // Asks for the next change to be signalled; false when the key can no longer be watched
    // (deleted, or its hive unloaded).
    bool Arm();
    // False when the held key is no longer the key at its path (renamed, or deleted).
    bool StillAtPath(const XStringW& sid) const;
    // Reads the list from a key that cannot be watched, and counts it as changed when it differs
    // from the last read (or replaces another user's).
    XStringWList ReadUnwatched(const XStringW& sid, bool replaced);
    // Watches the nearest existing key above the list's for new subkeys.
    void WatchAncestor(const XStringW& sid);
    // Lets go of the key; the wait and the timer are disarmed.
    void Close();
    void ArmRecheck();
    static void CALLBACK OnSignal(PTP_CALLBACK_INSTANCE, void* context, PTP_WAIT, TP_WAIT_RESULT);
    static void CALLBACK OnRecheck(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER);
    void MarkStale();

    XStringW watchedSid;
    ScopedRegKey baseKey;
    // Held only while the list's own key is missing.
    ScopedRegKey ancestorKey;
    ScopedHandle changed;
    ScopedThreadpoolWait changeWait;
    ScopedThreadpoolTimer recheckTimer;
    // Guards baseKey and watchedSid against the timer's look at them.
    SRWLOCK keyLock = SRWLOCK_INIT;
    std::atomic<bool> stale;
    const ChangeCallback onChange;
    XStringWList active;
    bool activeIsCurrent;
    // A list was read for watchedSid since the last Close.
    bool readBefore;
    unsigned changeCount;
};
