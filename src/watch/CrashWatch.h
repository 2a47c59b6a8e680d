#pragma once
// Crashed programs held by a crash reporter. A program that crashes while the platform's crash
// reporter works on it (Windows Error Reporting with its dialog, Wine's debugger) stays in the
// process list until someone closes the dialog, and so looks as if it ran. A pass looks for the
// reporters in the process table it takes anyway; one whose command line names the live process
// of a watched program is ended, and so is that process, through the handle its exit wait holds.
// The end is then taken like any other. A reporter that names any other process is left alone.
//
// Every console the service starts joins one job, and the job's completion port tells of each
// process started in it: a reporter started for a crashed program (as Wine's debugger is, and
// Windows Error Reporting for a process in a job) wakes the pass at once, whatever the interval.
//
// Where an administrator asked for crash dumps of the program (Windows Error Reporting's
// LocalDumps), the reporter gets up to kDumpGraceMs to write the dump before it is ended.

#include <windows.h>

#include <functional>
#include <map>
#include <thread>

#include "common/ScopedHandle.h"
#include "process/ProcessTable.h"
#include "watch/ProgramRuns.h"

class CrashWatch {
public:
    using WakeFunc = std::function<void()>;
    static constexpr ULONGLONG kDumpGraceMs = 10000;
    static constexpr ULONGLONG kNone = ~0ULL;

    explicit CrashWatch(WakeFunc wake);
    ~CrashWatch();
    CrashWatch(const CrashWatch&) = delete;
    CrashWatch& operator=(const CrashWatch&) = delete;

    // The job every console joins; made at the first call, null when it cannot be had (traced).
    HANDLE Job();
    // Ends each crashed program of the table held by its reporter, and the reporter.
    void EndHeldCrashes(const ProcessTable& processes, ProgramRuns& runs, ULONGLONG now);
    // Until a reporter is to be looked at again (a dump's time is over, a command line was not
    // readable yet); kNone when none is.
    ULONGLONG MsUntilDue(ULONGLONG now) const;
    // Ends the job's listener; the programs in the job keep running.
    void Stop();

private:
    struct Judged {
        ULONGLONG createdAt = 0;
        ULONGLONG firstSeenAt = 0;
        ULONGLONG dueAt = 0;      // when to look at it again; 0: settled
        ULONGLONG dumpUntil = 0;  // the end of its time to write a dump
    };
    void Listen();
    // Ends the reporter and the program it holds, or leaves it alone; judged.dueAt is set when it
    // is to be looked at again.
    void Judge(DWORD reporterId, Judged& judged, ProgramRuns& runs, ULONGLONG now);

    WakeFunc wake;
    ScopedHandle job;
    ScopedHandle port;
    std::thread listener;
    bool jobTried = false;
    std::map<DWORD, Judged> reporters;  // by process id, the reporters seen in the last table
};
