// One pass of the watch thread: keep the companion program running, read the logged-on user's
// watch list and interval, and start every active program that does not run.

#include <windows.h>

#include "config/CQuorbelServiceHelper.h"
#include "trace/Trace.h"
#include "watch/CQuorbelServiceThread.h"
#include "process/CWinHelper.h"

namespace {
constexpr const wchar_t* kCompanionImageName = L"QuorbelServiceManager.exe";
constexpr const wchar_t* kConsoleImageName = L"cmd.exe";
constexpr DWORD kDefaultIntervalMs = 5000;
// How long the fallback start of the companion is given before its console is terminated.
constexpr DWORD kCompanionStartWaitMs = 1000;
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
    KeepCompanionRunning();

    const XStringW sid = CQuorbelServiceHelper::GetCurrentUserSID();
    const XStringWList names = CQuorbelServiceHelper::GetActiveList(sid);
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
    if (IsProcessRunning(companionName)) {
        TraceLog("CQuorbelServiceThread::ThreadFunc", __LINE__, L"Running Process %s",
                 kCompanionImageName);
        RemoveCMDWatchList(companionName);
        return;
    }

    TraceLog("CQuorbelServiceThread::ThreadFunc", __LINE__, L"Execute Service Manager");
    RunProcess(companionName, CompanionPath());
    if (IsProcessRunning(kConsoleImageName)) {
        return;
    }
    // No console is left: the companion came up and its console was terminated, or the start
    // failed. Start it once more directly and end that console if the companion runs by now.
    const DWORD consoleId = launcher(CompanionPath());
    Sleep(kCompanionStartWaitMs);
    if (IsProcessRunning(companionName)) {
        CWinHelper::KillProcess(consoleId);
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
    // The count is read afresh before every step, under the list's own lock.
    for (int i = 0; i < names.GetCount(); ++i) {
        const XStringW& name = names.GetAt(i);
        if (IsProcessRunning(name)) {
            TraceLog("CQuorbelServiceThread::ThreadFunc", __LINE__, L"Running Process %@", name);
            RemoveCMDWatchList(name);
            continue;
        }
        const XStringW path = CQuorbelServiceHelper::GetListPath(sid, name);
        TraceLog("CQuorbelServiceThread::ThreadFunc", __LINE__, L"watchList[%d] : %@ path : %@", i,
                 XStringW(name), path);
        RunProcess(name, path);
    }
}

DWORD WatchIntervalFromText(const XStringW& intervalText)
{
    return IntervalFromText(intervalText);
}
