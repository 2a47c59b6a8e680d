// One pass of the watch thread: keep the companion program running, read the logged-on user's
// watch list and interval, and start every active program that does not run.

#include <windows.h>

#include "config/CQuorbelServiceHelper.h"
#include "process/CWinHelper.h"
#include "trace/Trace.h"
#include "watch/CQuorbelServiceThread.h"

namespace {
constexpr const wchar_t* kCompanionImageName = L"QuorbelServiceManager.exe";
constexpr const wchar_t* kConsoleImageName = L"cmd.exe";
constexpr DWORD kDefaultIntervalMs = 5000;
// ToUInt's answer for text that is not a plain decimal number, or one that overflows.
constexpr DWORD kNotANumber = static_cast<DWORD>(-1);

// The pass interval an "Interval" text stands for.
DWORD IntervalFromText(const XStringW& text)
{
    if (text.IsEmpty()) {
        return kDefaultIntervalMs;
    }
    const DWORD milliseconds = static_cast<DWORD>(text.ToUInt());
    return milliseconds == kNotANumber ? kDefaultIntervalMs : milliseconds;
}
}  // namespace

int CQuorbelServiceThread::ThreadFunc()
{
    if (IsHeldOff()) {
        TraceLog("CQuorbelServiceThread::ThreadFunc", __LINE__, L"Service delay");
        return 0;
    }
    // Every pass starts from a fresh look at the processes. The consoles that ended since the
    // last pass are forgotten here, also those of names that are paused or gone from the list.
    RefreshProcesses();
    // Without a process list every program would look ended: nothing is started or forgotten.
    if (!processes.IsTaken()) {
        return 0;
    }
    ForgetEndedConsoles(processes.FindIds(kConsoleImageName));
    KeepCompanionRunning();
    if (IsQuitRequested()) {
        return 0;
    }

    const XStringW sid = CQuorbelServiceHelper::GetCurrentUserSID();
    const XStringWList names = activeList.GetActiveList(sid);
    ApplyInterval(CQuorbelServiceHelper::GetInterval(sid));
    KeepEntriesRunning(sid, names);

    if (names.GetCount() == 0) {
        TraceLog("CQuorbelServiceThread::ThreadFunc", __LINE__, L"no watch list");
    }
    return 0;
}

// True while the machine has been up for less than startDelay. The second reading, taken
// against startTick, keeps a service that was started later from ever being held off, also
// when the tick count wraps round after 49.7 days.
bool CQuorbelServiceThread::IsHeldOff() const
{
    if (tickCount() >= startDelay) {
        return false;
    }
    return tickCount() - startTick < startDelay;
}

void CQuorbelServiceThread::KeepCompanionRunning()
{
    const XStringW companionName = kCompanionImageName;
    if (Processes().IsRunning(companionName)) {
        TraceLog("CQuorbelServiceThread::ThreadFunc", __LINE__, L"Running Process %s",
                 kCompanionImageName);
        RemoveCMDWatchList(companionName);
        return;
    }

    TraceLog("CQuorbelServiceThread::ThreadFunc", __LINE__, L"Execute Service Manager");
    RunProcess(companionName, CompanionPath());
    // The console of a companion that came up has just been ended, so "no console left" alone
    // does not mean the start failed: only a companion that still does not run is started
    // once more.
    if (IsQuitRequested() || !Processes().IsTaken() || Processes().IsRunning(companionName) ||
        Processes().IsRunning(kConsoleImageName)) {
        return;
    }
    const DWORD consoleId = launcher(CompanionPath(), XStringW(), XStringW(), nullptr);
    WaitForQuit(programStartWaitMs);
    RefreshProcesses();
    if (processes.IsRunning(companionName)) {
        CWinHelper::KillProcess(consoleId);
        processesStale = true;
    }
}

XStringW CQuorbelServiceThread::CompanionPath() const
{
    XStringW path = moduleDirectory();
    path.AppendFormat(L"\\%s", kCompanionImageName);
    return path;
}

void CQuorbelServiceThread::ApplyInterval(const XStringW& intervalText)
{
    const DWORD milliseconds = IntervalFromText(intervalText);
    if (milliseconds != GetInterval()) {
        SetInterval(milliseconds);
        TraceLog("CQuorbelServiceThread::ThreadFunc", __LINE__, L"setInterval : %d", milliseconds);
    }
}

void CQuorbelServiceThread::KeepEntriesRunning(const XStringW& sid, const XStringWList& names)
{
    // The count is read afresh before every step, under the list's own lock. A quit request
    // ends the pass before the next entry, whatever the length of the list.
    // A process list that fails after a start ends the pass as one that failed at its start.
    for (int i = 0; i < names.GetCount() && !IsQuitRequested() && Processes().IsTaken(); ++i) {
        const XStringW& name = names.GetAt(i);
        if (Processes().IsRunning(name)) {
            TraceLog("CQuorbelServiceThread::ThreadFunc", __LINE__, L"Running Process %@", name);
            RemoveCMDWatchList(name);
            continue;
        }
        const XStringW path = CQuorbelServiceHelper::GetListPath(sid, name);
        TraceLog("CQuorbelServiceThread::ThreadFunc", __LINE__, L"watchList[%d] : %@ path : %@", i,
                 XStringW(name), path);
        // Without a path cmd.exe would be started with nothing to run, at every pass.
        if (path.IsEmpty()) {
            TraceError("CQuorbelServiceThread::ThreadFunc", __LINE__,
                       L"no program path for %@, nothing started", name);
            continue;
        }
        RunProcess(name, path, CQuorbelServiceHelper::GetListArguments(sid, name),
                   CQuorbelServiceHelper::GetListDirectory(sid, name));
    }
}

const ProcessTable& CQuorbelServiceThread::Processes()
{
    if (processesStale) {
        RefreshProcesses();
    }
    return processes;
}

void CQuorbelServiceThread::RefreshProcesses()
{
    processes = takeProcessTable();
    processesStale = false;
    if (!processes.IsTaken()) {
        TraceError("CQuorbelServiceThread::ThreadFunc", __LINE__,
                   L"no process list: the pass starts and forgets nothing more");
    }
}

DWORD WatchIntervalFromText(const XStringW& intervalText)
{
    return IntervalFromText(intervalText);
}
