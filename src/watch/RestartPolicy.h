#pragma once
// When a watched program may be started again. A run is quick when the program ended less than
// 10 s after its start, or never came up at all; after the k-th quick exit in a row the next
// start waits min(2^(k-1), 300) s, and a run that was not quick lets the program start again at
// once and clears the count. A change of an entry's settings clears its count, so that a fixed
// entry gets a fresh start at once.
//
// Pure bookkeeping: every time is a millisecond reading of a monotonic clock that the caller
// passes in, so the arithmetic runs without waiting. Entries are keyed by NameKey.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

class RestartPolicy {
public:
    static constexpr ULONGLONG kQuickRunMs = 10000;
    static constexpr ULONGLONG kLongestDelayMs = 300000;
    static constexpr ULONGLONG kNone = ~0ULL;

    struct Entry {
        ULONGLONG startedAt = 0;  // the last start by the service
        bool awaiting = false;    // a start or a run whose end is not decided yet
        bool seen = false;        // the program was seen running since that start
        ULONGLONG seenAt = 0;
        DWORD processId = 0;
        DWORD quickExits = 0;
        ULONGLONG nextStartAt = 0;  // 0: no hold
        DWORD starts = 0;
        DWORD launches = 0;    // starts that launched the program
        DWORD startError = 0;  // why the last start launched nothing, 0 when it did
        bool hasExit = false;
        DWORD exitCode = 0;
        ULONGLONG exitedAt = 0;
        ULONGLONG notRespondingAt = 0;  // when it was last ended for a window that stopped answering
        DWORD notRespondingSeconds = 0;  // for how long no window of it had answered then
        // What did not respond when a liveness check ended it; empty for its windows.
        std::wstring notRespondingReason;
        bool holdEnded = false;   // EndHold let it start at holdEndedAt
        ULONGLONG holdEndedAt = 0;
        bool relaunched = false;  // a run of it ended for a relaunch its user asked for
        ULONGLONG relaunchedAt = 0;
    };

    // What ending a run decided; nothing when no end was awaited (decided false).
    struct Outcome {
        bool decided = false;
        bool quick = false;
        DWORD quickExits = 0;
        ULONGLONG delayMs = 0;  // until the next start may happen
    };

    // The hold after the k-th quick exit in a row: 0 for none, then 1, 2, 4 ... 256, 300 s.
    static ULONGLONG DelayAfter(DWORD quickExits);

    // A start; launchError is why it launched nothing (0: it launched the program's console).
    void Started(const std::wstring& key, ULONGLONG now, DWORD launchError = 0);
    // A launch that came to nothing after all: the console found no program to run.
    void TakeBackLaunch(const std::wstring& key);
    // True the first time the program is seen after a start (or ever, for a program that was
    // started by someone else): its process id is worth telling then. Later sightings only
    // follow the process id, as a program may hand over to a copy of itself.
    bool SeenRunning(const std::wstring& key, DWORD processId, ULONGLONG now);
    void ExitSeen(const std::wstring& key, DWORD exitCode, ULONGLONG now);
    // The program was ended because no window of it answered for that long, or, with a reason,
    // because its liveness check failed so; its end is then seen like any other.
    void NotResponding(const std::wstring& key, DWORD seconds, ULONGLONG now,
                       const std::wstring& reason = std::wstring());
    // A run ended after ranMs; it decides only while an end is awaited.
    Outcome Ended(const std::wstring& key, ULONGLONG ranMs, ULONGLONG now);
    // An awaited run is gone without an end that was seen: it ran from its sighting (or never).
    Outcome Lost(const std::wstring& key, ULONGLONG now);
    // A run the user ended to have it started again: it may start at once, and its quick exits
    // stay as they were.
    void Relaunched(const std::wstring& key, ULONGLONG now);
    // Whether a relaunch may count now: none did in the last spacingMs.
    bool MayRelaunch(const std::wstring& key, ULONGLONG now, ULONGLONG spacingMs) const;

    bool IsAwaiting(const std::wstring& key) const;
    bool MayStart(const std::wstring& key, ULONGLONG now) const;
    // Until the earliest hold ends; kNone when nothing is held.
    ULONGLONG MsUntilNextStart(ULONGLONG now) const;
    // Clears the quick exits of one entry: its settings were changed.
    void ResetCount(const std::wstring& key);
    // The user asked for a start now: a hold ends at once and the quick exits stay as they were.
    // At most once per kHoldEndGapMs for each entry, so that a program cannot write its own way
    // out of its backoff; false when that refused it.
    bool EndHold(const std::wstring& key, ULONGLONG now);
    static constexpr ULONGLONG kHoldEndGapMs = 60000;
    // Forgets every entry whose key is not listed.
    void KeepOnly(const std::vector<std::wstring>& keys);

    const Entry* Find(const std::wstring& key) const;

private:
    Outcome Decide(Entry& entry, ULONGLONG ranMs, ULONGLONG now);

    std::map<std::wstring, Entry> entries;
};
