#pragma once
// What a pass reads and keeps from one pass to the next: the user's active watch list (read again
// only after it changed), whether it changed since the last pass, and the pass interval it asks
// for.

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "config/CActiveListMonitor.h"
#include "strings/XStringW.h"
#include "strings/XStringWList.h"

// The pass interval in milliseconds that an "Interval" text stands for: the default when it is
// empty or no number, and kept within kMinIntervalMs .. kMaxIntervalMs.
constexpr DWORD kDefaultIntervalMs = 5000;
constexpr DWORD kMinIntervalMs = 500;
constexpr DWORD kMaxIntervalMs = 24 * 60 * 60 * 1000;
DWORD WatchIntervalFromText(const XStringW& intervalText);
// Whether the text is a number that WatchIntervalFromText had to raise or lower.
bool IsIntervalAdjusted(const XStringW& intervalText);

class WatchPass {
public:
    // wake is called on a thread-pool thread whenever the list changes.
    explicit WatchPass(std::function<void()> wake);

    XStringWList ReadList(const XStringW& sid) { return activeList.GetActiveList(sid); }
    // Lets go of the watched key and its timer; the next read watches again.
    void StopWatching() { activeList.GetActiveList(XStringW()); }
    // After a change of the list: the entries whose Path, Arguments or Directory
    // differ from the last look, and those that were not active then. A change that touched no
    // entry (the Interval, a value nobody reads) gives none, and so does the first call.
    std::vector<XStringW> TakeChangedEntries(const XStringW& sid, const XStringWList& names);
    // The interval the user's "Interval" text asks for; a text out of bounds is traced when it
    // is new.
    DWORD IntervalFor(const XStringW& intervalText);

private:
    bool TakeListChange();

    using EntrySettings = std::vector<std::wstring>;  // Path, Arguments, Directory
    CActiveListMonitor activeList;
    unsigned seenListChanges = 0;
    XStringW lastIntervalText;
    // The settings each active entry had at the last look, by NameKey.
    std::map<std::wstring, EntrySettings> entrySettings;
    bool settingsTaken = false;
};
