#pragma once
// The active entries of the logged-on user's watch list, read again only once the list has
// changed. The user's base key is watched, with all its entries, for added, removed and renamed
// keys and for written values; a change signals an event, and the next call reads the whole list
// afresh. A steady pass thus costs one look at the event instead of a registry read per entry,
// while an edit still takes effect at the next pass. Where no base key can be watched (there is
// none yet, or the SID names no loaded hive) every call reads the list.

#include <windows.h>

#include "common/ScopedHandle.h"
#include "strings/XStringW.h"
#include "strings/XStringWList.h"

class CActiveListMonitor {
public:
    CActiveListMonitor();
    CActiveListMonitor(const CActiveListMonitor&) = delete;
    CActiveListMonitor& operator=(const CActiveListMonitor&) = delete;

    // What CQuorbelServiceHelper::GetActiveList gives for the SID now.
    XStringWList GetActiveList(const XStringW& sid);

private:
    // Opens the SID's base key for watching; false when there is none.
    bool Watch(const XStringW& sid);
    // Asks for the next change to be signalled; false when the key can no longer be watched
    // (deleted, or its hive unloaded).
    bool Arm();

    XStringW watchedSid;
    ScopedRegKey baseKey;
    ScopedHandle changed;
    XStringWList active;
    bool activeIsCurrent;
};
