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

#include <atomic>

#include "common/ScopedHandle.h"
#include "service/UserLogon.h"
#include "service/XThread.h"
#include "strings/XStringW.h"
#include "strings/XStringWList.h"
#include "watch/AliveChecks.h"
#include "watch/ConsoleEnds.h"
#include "watch/ConsoleRecords.h"
#include "watch/CrashWatch.h"
#include "watch/HangWatch.h"
#include "watch/ProcessView.h"
#include "watch/ProgramRuns.h"
#include "watch/StartBatch.h"
#include "watch/StartRate.h"
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
    // A session was logged on to or off, connected or disconnected: the user's token and
    // environment are taken afresh, and a pass runs at once.
    void NoteSessionChange();

    // What the pass asks of the system (clocks, launcher, process list); in-process tests and the
    // benchmark replace it, the service keeps the defaults. Declared before the steps that read it.
    WatchSeams seams;
    ConsoleRecords consoleRecords;
    DWORD startTick;
    DWORD startDelay;

private:
    // The session and user of this pass. When they are not the last pass's, what was kept of
    // the last pass's user goes: the waits on their programs, the hang targets, the restart
    // records, the consoles not settled and the user's token.
    void TakePassUser(DWORD sessionId, const XStringW& sid);
    // The logon every start of this pass uses, opened at the first start that needs it. False
    // when the session's token is another user's than the pass's: nothing is started then.
    bool EnsureLogon();
    // Whether the user asked for the end of the program's run, that ended at endedAt (a FILETIME
    // value; 0: found gone now): only for an entry of the user's own list.
    bool IsRelaunchAsked(const XStringW& name, ULONGLONG endedAt);
    bool IsHeldOff() const;
    void KeepCompanionRunning(DWORD sessionId);
    XStringW CompanionPath() const;
    // True when the list changed since the last pass.
    bool ApplyListChanges(const XStringW& sid, const XStringWList& names);
    void ApplyInterval(const XStringW& intervalText);
    void KeepEntriesRunning(const XStringW& sid, const XStringWList& names);
    void ForgetDroppedEntries(const XStringW& sid, const XStringWList& names);
    void ScheduleNextStart();
    // Starts the program unless one of its consoles still runs (consoleAlive), the restart
    // policy holds it back or, for a paced start, the pace of starts has no room: true when the
    // pace put it off.
    bool BeginStart(const XStringW& name, const EntryLaunch& launch, bool consoleAlive,
                    StartBatch& batch, bool paced);
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
    CrashWatch crashes;  // after the runs: its listener ends before the waits it reads
    StartRate startRate;
    bool startsPutOff = false;  // the last pass left starts for the pace to let through
    // The user of the last pass: the waits, targets and records above are theirs.
    DWORD passSessionId = 0;
    XStringW passSid;
    UserLogon logon;
    bool logonTried = false;    // this pass opened the logon, or failed to
    bool logonRefused = false;  // this pass found the session's token another user's
    std::atomic<bool> sessionChanged{false};
};

// The single process-wide watch thread.
CQuorbelServiceThread& GetWatchThread();

// NO_ERROR, or why the watch thread could not be started.
DWORD StartWatchThread();
void StopWatchThread();
// Runs a pass of the watch thread at once.
void WakeWatchThread();
// A session changed (a logon, a logoff, a switch of user): see NoteSessionChange.
void NoteWatchSessionChange();
