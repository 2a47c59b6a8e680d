#pragma once
// What a pass reads and keeps from one pass to the next: the user's active watch list (read again
// only after it changed), whether it changed since the last pass, and the pass interval it asks
// for.

#include <windows.h>

#include <functional>

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
    // True once for every change of the list read since the last call.
    bool TakeListChange();
    // The interval the user's "Interval" text asks for; a text out of bounds is traced when it
    // is new.
    DWORD IntervalFor(const XStringW& intervalText);

private:
    CActiveListMonitor activeList;
    unsigned seenListChanges = 0;
    XStringW lastIntervalText;
};
