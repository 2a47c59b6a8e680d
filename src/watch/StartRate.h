#pragma once
// The pace of the service's starts, one for the whole machine: a bucket of kBurst starts that
// fills again at kPerSecond starts a second. A bulk import of tens of programs starts at once; a
// list of hundreds of programs that never come up is started at the pace, whatever its interval.
// Starts that are not paced (the companion, the programs set by policy) are never held back, but
// they take their start from the bucket when it has one, so that they go first.
//
// Pure bookkeeping: every time is a millisecond reading of a monotonic clock that the caller
// passes in.

#include <windows.h>

class StartRate {
public:
    static constexpr ULONGLONG kBurst = 64;
    static constexpr ULONGLONG kPerSecond = 2;

    // Whether a start may happen now; one that may takes its share of the bucket.
    bool Take(ULONGLONG now, bool paced = true);
    // Whether a paced start would be let through now; takes nothing.
    bool HasRoom(ULONGLONG now) const { return Filled(now) >= kOneStart; }
    // Until the bucket holds a start again; 0 when it holds one.
    ULONGLONG MsUntilRoom(ULONGLONG now) const;

private:
    // The bucket is kept in thousandths of a start, so that it fills by whole numbers a
    // millisecond.
    static constexpr ULONGLONG kOneStart = 1000;
    ULONGLONG Filled(ULONGLONG now) const;

    ULONGLONG level = kBurst * kOneStart;
    ULONGLONG levelAt = 0;
};
