#pragma once
// The watch thread: every pass keeps the companion program and the user's active watch-list
// programs running, starting them through cmd.exe in the user's session and tracking the
// consoles it started.

#include <windows.h>

#include <list>
#include <memory>

#include "common/ScopedHandle.h"
#include "config/CActiveListMonitor.h"
#include "paths/ModulePaths.h"
#include "process/ProcessTable.h"
#include "service/CWindowService.h"
#include "service/XThread.h"
#include "strings/XStringW.h"
#include "strings/XStringWList.h"

// The consoles started for one program name that still ran when the console list was last taken.
struct _PINFO {
    XStringW name;
    XStringWList pidList;
};

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
    void RemoveCMDWatchList(const XStringW& name);

    std::list<std::unique_ptr<_PINFO>> pinfoList;
    ScopedHandle pinfoMutex;
    DWORD startTick;
    DWORD startDelay;

    // Seams for in-process tests and the benchmark; the service always runs with these defaults.
    using TickCountFunc = DWORD(WINAPI*)();
    using DirectoryFunc = XStringW (*)();
    using LaunchFunc = DWORD (*)(const XStringW& path, const XStringW& arguments,
                                 const XStringW& directory, ScopedHandle* console);
    using ProcessTableFunc = ProcessTable (*)();
    TickCountFunc tickCount = &::GetTickCount;
    DirectoryFunc moduleDirectory = &GetModuleDirectory;
    LaunchFunc launcher = &CWindowService::RunAdminProcessByLogonSession;
    ProcessTableFunc takeProcessTable = &ProcessTable::TakeForActiveSession;
    DWORD pinfoWaitMs = MutexLock::kDefaultTimeoutMs;
    // Long enough for cmd.exe to have started a program that comes up at once.
    DWORD programStartWaitMs = 1000;

private:
    // Steps of one pass.
    bool IsHeldOff() const;
    void KeepCompanionRunning();
    XStringW CompanionPath() const;
    void ApplyInterval(const XStringW& intervalText);
    void KeepEntriesRunning(const XStringW& sid, const XStringWList& names);

    // The pass's view of the running processes: taken at the start of the pass and again after
    // the pass started or ended a process.
    const ProcessTable& Processes();
    void RefreshProcesses();

    using PinfoIterator = std::list<std::unique_ptr<_PINFO>>::iterator;
    PinfoIterator FindRecord(const XStringW& name);
    void AddConsoleRecord(const XStringW& name, DWORD processId);
    // Drops the ids of consoles that no longer run, and every record left without one.
    void ForgetEndedConsoles(const XStringWList& runningConsoleIds);

    ProcessTable processes;
    bool processesStale = true;
    CActiveListMonitor activeList;
};

// The single process-wide watch thread.
CQuorbelServiceThread& GetWatchThread();

// NO_ERROR, or why the watch thread could not be started.
DWORD StartWatchThread();
void StopWatchThread();

// The pass interval in milliseconds that an "Interval" text stands for (the default when it is
// empty or no number).
DWORD WatchIntervalFromText(const XStringW& intervalText);
