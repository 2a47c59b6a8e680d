#pragma once
// The watch thread: every pass keeps the companion program and the user's active watch-list
// programs running, starting them through cmd.exe in the user's session and tracking the
// consoles it started. A pass runs once per interval, and at once when a watched program ends,
// when the watch list changes, at a logon, and when a held-back start falls due.
//
// The thread holds the steps' own types and calls them in the order of a pass: the pass's inputs
// (WatchPass, ProcessView), the starts (StartBatch, ConsoleEnds), what is learnt of the runs
// (ProgramRuns) and what is published of them (StatePublisher).

#include <windows.h>

#include "common/ScopedHandle.h"
#include "service/XThread.h"
#include "strings/XStringW.h"
#include "strings/XStringWList.h"
#include "watch/AliveChecks.h"
#include "watch/ConsoleEnds.h"
#include "watch/ConsoleRecords.h"
#include "watch/HangWatch.h"
#include "watch/ProcessView.h"
#include "watch/ProgramRuns.h"
#include "watch/StartBatch.h"
#include "watch/StatePublisher.h"
#include "watch/WatchPass.h"
#include "watch/WatchSeams.h"

class CQuorbelServiceThread : public XThread {
public:
    CQuorbelServiceThread();
    ~CQuorbelServiceThread() override;

    int ThreadFunc() override;

    DWORD RunProcess(const XStringW& name, const XStringW& path,
                     const XStringW& arguments = XStringW(),
                     const XStringW& directory = XStringW());
    bool IsRunCMD(const XStringW& name);
    void AddCMDWatchList(const XStringW& name, DWORD processId);
    void AddCMDWatchList(const XStringW& name, DWORD processId, ScopedHandle console);
    void RemoveCMDWatchList(const XStringW& name);

    // Ends the consoles still waiting for their second; for the end of the service.
    void EndPendingConsoles();
    // Ends the thread, then every console it started that has not settled, and releases its
    // waits and the list monitor: nothing of the watch runs on once the service stopped.
    void Stop();
    // The processes and consoles waited on.
    size_t WaitCount() const { return runs.WaitCount(); }
    // Closes the companion's channel and stops the liveness checks; for the end of the service.
    void EndHangWatch()
    {
        hang.Stop();
        alive.Stop();
    }
    // The liveness checks, for in-process tests.
    AliveChecks& Alive() { return alive; }

    // What the pass asks of the system (clocks, launcher, process list); in-process tests and the
    // benchmark replace it, the service keeps the defaults. Declared before the steps that read it.
    WatchSeams seams;
    ConsoleRecords consoleRecords;
    DWORD startTick;
    DWORD startDelay;

private:
    bool IsHeldOff() const;
    void KeepCompanionRunning(DWORD sessionId);
    XStringW CompanionPath() const;
    // True when the list changed since the last pass.
    bool ApplyListChanges(const XStringW& sid, const XStringWList& names);
    void ApplyInterval(const XStringW& intervalText);
    void KeepEntriesRunning(const XStringW& sid, const XStringWList& names);
    void ForgetDroppedEntries(const XStringW& sid, const XStringWList& names);
    void ScheduleNextStart();
    // Starts the program unless one of its consoles still runs or the policy holds it back.
    void BeginStart(const XStringW& name, const XStringW& path, const XStringW& arguments,
                    const XStringW& directory, StartBatch& batch);
    // Waits for the batch, then ends the consoles of programs that came up and records the
    // others. deferConsoleEnds: consoles are ended by a later pass once they had their second,
    // so that this pass need not wait for it.
    void FinishStarts(StartBatch& batch, bool deferConsoleEnds = false);
    // Prunes the console records, keeping the exit codes of the consoles that ended.
    void ForgetEndedConsoles(const XStringWList& runningConsoleIds);

    ProcessView processes;
    WatchPass pass;
    ProgramRuns runs;
    ConsoleEnds consoleEnds;
    StatePublisher publisher;
    HangWatch hang;  // after the runs: its channel ends before the waits it reads
    AliveChecks alive;
    XStringW watchedSid;  // the user whose list the last pass watched: the ends are that user's
};

// The single process-wide watch thread.
CQuorbelServiceThread& GetWatchThread();

// NO_ERROR, or why the watch thread could not be started.
DWORD StartWatchThread();
void StopWatchThread();
// Runs a pass of the watch thread at once (a logon, for one).
void WakeWatchThread();
