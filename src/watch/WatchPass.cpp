// One pass of the watch thread: keep the companion program running, read the logged-on user's
// watch list and interval, and start every active program that does not run and is not held
// back by its quick exits.

#include <windows.h>

#include <algorithm>

#include "config/CQuorbelServiceHelper.h"
#include "process/CWinHelper.h"
#include "trace/Trace.h"
#include "watch/CQuorbelServiceThread.h"
#include "watch/NameKey.h"

namespace {
constexpr const wchar_t* kCompanionImageName = L"QuorbelServiceManager.exe";
constexpr const wchar_t* kConsoleImageName = L"cmd.exe";
constexpr DWORD kDefaultIntervalMs = 5000;
// ToUInt's answer for text that is not a plain decimal number, or one that overflows.
constexpr DWORD kNotANumber = static_cast<DWORD>(-1);

bool IsDecimal(const XStringW& text)
{
    if (text.IsEmpty()) {
        return false;
    }
    for (int i = 0; i < text.GetLength(); ++i) {
        if (text.GetString()[i] < L'0' || text.GetString()[i] > L'9') {
            return false;
        }
    }
    return true;
}

// The interval an "Interval" text asks for, before it is kept within bounds: a number too large
// for 32 bits asks for the longest.
DWORD RequestedInterval(const XStringW& text)
{
    if (!IsDecimal(text)) {
        return kDefaultIntervalMs;
    }
    const DWORD milliseconds = static_cast<DWORD>(text.ToUInt());
    return milliseconds == kNotANumber ? kMaxIntervalMs : milliseconds;
}

DWORD IntervalFromText(const XStringW& text)
{
    const DWORD requested = RequestedInterval(text);
    if (requested < kMinIntervalMs) {
        return kMinIntervalMs;
    }
    return requested > kMaxIntervalMs ? kMaxIntervalMs : requested;
}
}  // namespace

int CQuorbelServiceThread::ThreadFunc()
{
    if (IsHeldOff()) {
        TraceLog("CQuorbelServiceThread::ThreadFunc", __LINE__, L"Service delay");
        return 0;
    }
    // The ends seen by the waits are taken before the processes are looked at, so that a
    // program that ended is not in the snapshot any more. The consoles that ended since the
    // last pass are forgotten here, also those of names that are paused or gone from the list.
    EndDueConsoles();
    TakeProgramExits();
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
    ApplyListChanges();
    ApplyInterval(CQuorbelServiceHelper::GetInterval(sid));
    KeepEntriesRunning(sid, names);
    ForgetDroppedEntries(sid, names);
    ScheduleNextStart();
    endedConsoleCodes.clear();

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
        programWaits.Watch(companionName, processes.FindIds(companionName));
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
    StartBatch batch;
    StartedProgram started;
    started.name = companionName;
    started.consoleId = launcher(CompanionPath(), XStringW(), XStringW(), &started.console);
    batch.programs.push_back(std::move(started));
    WaitForStartedPrograms(batch);
    if (processes.IsRunning(companionName)) {
        EndConsole(batch.programs.front());
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
    if (!(intervalText == lastIntervalText.GetString()) && IsIntervalAdjusted(intervalText)) {
        TraceLog("CQuorbelServiceThread::ThreadFunc", __LINE__,
                 L"Interval \"%@\" is out of range, %u ms used", intervalText, milliseconds);
    }
    lastIntervalText = intervalText;
    if (milliseconds != GetInterval()) {
        SetInterval(milliseconds);
        TraceLog("CQuorbelServiceThread::ThreadFunc", __LINE__, L"setInterval : %u", milliseconds);
    }
}

// Any edit of the watch list gives every program a fresh start: the one that was fixed may be
// any of them.
void CQuorbelServiceThread::ApplyListChanges()
{
    if (activeList.ChangeCount() == seenListChanges) {
        return;
    }
    seenListChanges = activeList.ChangeCount();
    policy.ResetCounts();
    TraceLog("CQuorbelServiceThread::ThreadFunc", __LINE__,
             L"watch list changed: quick exit counts cleared");
}

void CQuorbelServiceThread::KeepEntriesRunning(const XStringW& sid, const XStringWList& names)
{
    // The count is read afresh before every step, under the list's own lock. A quit request
    // ends the pass before the next entry, whatever the length of the list.
    // A process list that fails after a start ends the pass as one that failed at its start.
    StartBatch batch;
    for (int i = 0; i < names.GetCount() && !IsQuitRequested() && Processes().IsTaken(); ++i) {
        const XStringW& name = names.GetAt(i);
        if (Processes().IsRunning(name)) {
            TraceLog("CQuorbelServiceThread::ThreadFunc", __LINE__, L"Running Process %@", name);
            RemoveCMDWatchList(name);
            NoteRunning(name);
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
        BeginStart(name, path, CQuorbelServiceHelper::GetListArguments(sid, name),
                   CQuorbelServiceHelper::GetListDirectory(sid, name), batch);
    }
    FinishStarts(batch, true);
    if (publishStates && !sid.IsEmpty()) {
        PrepareStates(sid);
        for (int i = 0; i < names.GetCount(); ++i) {
            Publish(sid, names.GetAt(i));
        }
    }
}

// States left by an earlier run of the service, or published for another user, are dropped.
void CQuorbelServiceThread::PrepareStates(const XStringW& sid)
{
    if (sid == publishedSid.GetString()) {
        return;
    }
    if (!publishedSid.IsEmpty()) {
        EntryStateStore::RemoveAll(publishedSid);
    }
    EntryStateStore::RemoveAll(sid);
    published.clear();
    publishedSid = sid;
}

// Paused and removed entries keep no waits, no policy and no published state.
void CQuorbelServiceThread::ForgetDroppedEntries(const XStringW& sid, const XStringWList& names)
{
    std::vector<std::wstring> keys;
    for (int i = 0; i < names.GetCount(); ++i) {
        keys.push_back(NameKey(names.GetAt(i)));
    }
    policy.KeepOnly(keys);
    consoleWaits.KeepOnly(keys);
    keys.push_back(NameKey(kCompanionImageName));
    programWaits.KeepOnly(keys);
    if (!publishStates || !(sid == publishedSid.GetString())) {
        return;
    }
    for (auto entry = published.begin(); entry != published.end();) {
        if (std::find(keys.begin(), keys.end(), entry->first) == keys.end()) {
            EntryStateStore::Remove(sid, entry->first.c_str());
            entry = published.erase(entry);
        } else {
            ++entry;
        }
    }
}

// A held-back start falls due before the interval is over: the pass after it comes then.
void CQuorbelServiceThread::ScheduleNextStart()
{
    ULONGLONG untilNext = policy.MsUntilNextStart(clock());
    for (const ConsoleToEnd& pending : consolesToEnd) {
        untilNext = (std::min)(untilNext, pending.endAt > clock() ? pending.endAt - clock() : 0);
    }
    if (untilNext != RestartPolicy::kNone) {
        SetNextWait(static_cast<DWORD>((std::min<ULONGLONG>)(untilNext, kMaxIntervalMs)));
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

bool IsIntervalAdjusted(const XStringW& intervalText)
{
    if (!IsDecimal(intervalText)) {
        return false;
    }
    const DWORD milliseconds = static_cast<DWORD>(intervalText.ToUInt());
    return milliseconds == kNotANumber || milliseconds != IntervalFromText(intervalText);
}
