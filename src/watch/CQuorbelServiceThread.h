#pragma once
// The watch thread: every pass keeps the companion program and the user's active watch-list
// programs running, starting them through cmd.exe in the user's session and tracking the
// consoles it started. A pass runs once per interval, and at once when a watched program ends,
// when the watch list changes, at a logon, and when a held-back start falls due.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "common/ScopedHandle.h"
#include "config/CActiveListMonitor.h"
#include "config/EntryStateStore.h"
#include "paths/ModulePaths.h"
#include "process/ProcessTable.h"
#include "service/CWindowService.h"
#include "service/XThread.h"
#include "strings/XStringW.h"
#include "strings/XStringWList.h"
#include "watch/ConsoleRecords.h"
#include "watch/ExitWaits.h"
#include "watch/RestartPolicy.h"

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

    ConsoleRecords consoleRecords;
    DWORD startTick;
    DWORD startDelay;

    // Seams for in-process tests and the benchmark; the service always runs with these defaults.
    using TickCountFunc = DWORD(WINAPI*)();
    using ClockFunc = ULONGLONG(WINAPI*)();
    using DirectoryFunc = XStringW (*)();
    using LaunchFunc = DWORD (*)(const XStringW& path, const XStringW& arguments,
                                 const XStringW& directory, ScopedHandle* console);
    using ProcessTableFunc = ProcessTable (*)();
    TickCountFunc tickCount = &::GetTickCount;
    ClockFunc clock = &::GetTickCount64;
    DirectoryFunc moduleDirectory = &GetModuleDirectory;
    LaunchFunc launcher = &CWindowService::RunAdminProcessByLogonSession;
    ProcessTableFunc takeProcessTable = &ProcessTable::TakeForActiveSession;
    // Long enough for cmd.exe to have started a program that comes up at once.
    DWORD programStartWaitMs = 1000;
    // Whether entry states are published for the list command (off in in-process tests).
    bool publishStates = true;

    const RestartPolicy& Policy() const { return policy; }
    // Ends the consoles still waiting for their second; for the end of the service.
    void EndPendingConsoles();
    const ExitWaits& ProgramWaits() const { return programWaits; }

private:
    // A start made in this pass, whose console is dealt with once the started programs had
    // their second to come up.
    struct StartedProgram {
        XStringW name;
        XStringW path;
        XStringW arguments;
        XStringW directory;
        DWORD consoleId = 0;
        DWORD launchError = ERROR_SUCCESS;  // why the launch failed, when consoleId is 0
        ScopedHandle console;
        bool launched = false;  // false: the service was stopping before its turn came
    };
    struct StartBatch {
        std::vector<StartedProgram> programs;
        size_t launched = 0;  // the programs before this index have been launched
    };

    // Steps of one pass.
    bool IsHeldOff() const;
    void KeepCompanionRunning();
    XStringW CompanionPath() const;
    void ApplyInterval(const XStringW& intervalText);
    void ApplyListChanges();
    void KeepEntriesRunning(const XStringW& sid, const XStringWList& names);
    void ForgetDroppedEntries(const XStringW& sid, const XStringWList& names);
    void PrepareStates(const XStringW& sid);
    // Prunes the console records, keeping the exit codes of the consoles that ended.
    void ForgetEndedConsoles(const XStringWList& runningConsoleIds);
    void ScheduleNextStart();

    // Starts: BeginStart launches (or says why not), FinishStarts waits once for all of them
    // and then ends the consoles of programs that came up and records the others.
    void BeginStart(const XStringW& name, const XStringW& path, const XStringW& arguments,
                    const XStringW& directory, StartBatch& batch);
    // Launches the programs of the batch not launched yet, several at a time.
    void LaunchPending(StartBatch& batch);
    static void CALLBACK LaunchOne(PTP_CALLBACK_INSTANCE, void* context, PTP_WORK);
    // deferConsoleEnds: the consoles of programs that came up are ended by a later pass once
    // they had their second, so that this pass need not wait for it.
    void FinishStarts(StartBatch& batch, bool deferConsoleEnds = false);
    void EndDueConsoles();
    void WaitForStartedPrograms(const StartBatch& batch);
    void EndConsole(const StartedProgram& started);

    // What the pass learns of a program's runs, for the restart policy.
    void TakeProgramExits();
    void NoteRunning(const XStringW& name);
    void NoteLostRun(const XStringW& name);
    void TraceOutcome(const XStringW& name, const RestartPolicy::Outcome& outcome);
    void Publish(const XStringW& sid, const XStringW& name);

    // The pass's view of the running processes: taken at the start of the pass and again after
    // the pass started or ended a process.
    const ProcessTable& Processes();
    void RefreshProcesses();

    ProcessTable processes;
    bool processesStale = true;
    CActiveListMonitor activeList;
    unsigned seenListChanges = 0;
    ExitWaits programWaits;
    ExitWaits consoleWaits;  // wake the pass when a console of a program not yet up ends
    RestartPolicy policy;
    std::map<std::wstring, DWORD> endedConsoleCodes;
    struct ConsoleToEnd {
        ULONGLONG endAt = 0;
        DWORD consoleId = 0;
        ScopedHandle console;
    };
    std::vector<ConsoleToEnd> consolesToEnd;
    std::map<std::wstring, EntryState> published;
    XStringW publishedSid;
    XStringW lastIntervalText;
};

// The single process-wide watch thread.
CQuorbelServiceThread& GetWatchThread();

// NO_ERROR, or why the watch thread could not be started.
DWORD StartWatchThread();
void StopWatchThread();
// Runs a pass of the watch thread at once (a logon, for one).
void WakeWatchThread();

// The pass interval in milliseconds that an "Interval" text stands for: the default when it is
// empty or no number, and kept within kMinIntervalMs .. kMaxIntervalMs.
constexpr DWORD kMinIntervalMs = 500;
constexpr DWORD kMaxIntervalMs = 24 * 60 * 60 * 1000;
DWORD WatchIntervalFromText(const XStringW& intervalText);
// Whether the text is a number that WatchIntervalFromText had to raise or lower.
bool IsIntervalAdjusted(const XStringW& intervalText);
