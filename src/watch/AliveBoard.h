#pragma once
// The bookkeeping of the liveness checks: which running program is due for a look, what each look
// found, and which program has failed its check for its whole hang timeout. A check's time
// counts from the program's start (the moment its process came on the board) or its last good
// look, whichever is later; for a heartbeat file the last good look is the file's last write.
// A look is made at most every kMinGapMs, at least every kMaxGapMs and at least once per hang
// timeout, and once more right when the timeout runs out, so that a program is ended within a
// look's time of it.
//
// Pure bookkeeping, like RestartPolicy: times are millisecond readings of a monotonic clock
// passed in by the caller; the looks themselves are made elsewhere. Entries are keyed by NameKey.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "config/AliveCheck.h"
#include "strings/XStringW.h"
#include "watch/AliveProbes.h"

// A running program with a check.
struct AliveTarget {
    XStringW name;
    alive_check::Check check;
    XStringW filePath;    // kFile: the path with the user's variables expanded
    DWORD processId = 0;  // the run the check is about
    ULONGLONG timeoutMs = 0;
    ULONGLONG lookedAt = 0;  // set by TakeDue: which look a result belongs to
};

// What the last look at a program's check found, for the list.
struct AliveStatus {
    bool known = false;        // a look was made in this run
    bool good = false;
    XStringW words;            // "port 8080 accepted", "no heartbeat in 12 s (C:\beat.txt)"
    ULONGLONG failingSince = 0;  // clock reading: since when the check fails (0: it does not)
};

// A program that failed its check for its whole timeout: to be ended.
struct AliveFailure {
    XStringW name;
    DWORD processId = 0;
    DWORD seconds = 0;  // since its start or last good look
    XStringW reason;    // "port 8080 refused for 30 s", "no heartbeat in 30 s (C:\beat.txt)"
};

class AliveBoard {
public:
    static constexpr ULONGLONG kMinGapMs = 2000;
    static constexpr ULONGLONG kMaxGapMs = 15000;
    static constexpr ULONGLONG kNone = ~0ULL;

    // The running programs with a check. A program whose process, check or timeout is the same
    // keeps what is known of it; any other starts afresh at now.
    void SetTargets(const std::vector<AliveTarget>& targets, ULONGLONG now);
    // The targets due for a look, marked as looked at: no second look starts until Record. A
    // look that overran its bound (LookBoundMs) is recorded as a failure here, and its result,
    // should it still come, is dropped: a look the platform let hang still fails in time.
    std::vector<AliveTarget> TakeDue(ULONGLONG now, ULONGLONG fileNow);
    // What a look (as TakeDue handed it out) found; fileNow is the wall clock (FILETIME) for a
    // file's age. A look at a run that has left the board, or one given up, is dropped.
    void Record(const AliveTarget& looked, const ProbeResult& result, ULONGLONG now,
                ULONGLONG fileNow);
    // How long a look of the kind may take before it is given up.
    static ULONGLONG LookBoundMs(alive_check::Kind kind);
    // The programs that failed since the last call; each run fails once.
    std::vector<AliveFailure> TakeFailures();
    bool HasFailures() const { return !failures.empty(); }
    // Until the next look falls due (kNone without targets).
    ULONGLONG MsUntilNextDue(ULONGLONG now) const;
    // The last look at the program's check (unknown when it has none or none was made).
    AliveStatus StatusOf(const XStringW& name) const;
    size_t Count() const { return entries.size(); }

private:
    struct Entry {
        AliveTarget target;
        ULONGLONG since = 0;     // the run came on the board
        ULONGLONG lastGood = 0;  // the last good look (a file: its last write); 0 for none
        ULONGLONG lookedAt = 0;  // the last look began; 0 for none
        bool looking = false;
        bool failed = false;     // reported: no more looks at this run
        ULONGLONG fileWrittenAt = 0;
        ULONGLONG fileSize = 0;
        bool fileSeen = false;
        ULONGLONG fileLookedAt = 0;  // the last look that read the file
        AliveStatus status;
    };
    static ULONGLONG GapMs(const Entry& entry);
    static ULONGLONG DueAt(const Entry& entry);
    void RecordIn(Entry& entry, const ProbeResult& result, ULONGLONG now, ULONGLONG fileNow);
    static void RecordFile(Entry& entry, const ProbeResult& result, ULONGLONG now, ULONGLONG fileNow);
    static XStringW FailureReason(const Entry& entry, ULONGLONG failedMs);

    std::map<std::wstring, Entry> entries;
    std::vector<AliveFailure> failures;
};
