#include "watch/CQuorbelServiceThread.h"

#include <algorithm>
#include <vector>

#include "config/CQuorbelServiceHelper.h"
#include "config/CrashDialog.h"
#include "config/RelaunchRequest.h"
#include "process/Sessions.h"
#include "service/CWindowService.h"
#include "trace/EventLog.h"
#include "trace/Trace.h"
#include "watch/NameKey.h"
#include "watch/WatchEvents.h"

namespace {
constexpr DWORD kStartDelayMs = 40000;  // no pass does anything this soon after boot
constexpr const char* kFunction = "CQuorbelServiceThread::ThreadFunc";
constexpr const char* kRunFunction = "CQuorbelServiceThread::RunProcess";
}  // namespace

// The waits and the list monitor call Wake from thread-pool threads; they are members, so they
// are released (each waiting for a callback under way) before the thread object goes.
CQuorbelServiceThread::CQuorbelServiceThread()
    : seams(),
      consoleRecords(),
      startTick(0),
      startDelay(0),
      processes(seams),
      pass([this] { Wake(); }),
      runs(seams, [this] { Wake(); }),
      publisher(seams),
      hang(seams, [this] { Wake(); }),
      alive(seams, [this] { Wake(); }),
      crashes([this] { Wake(); })
{
    SetName(L"CQuorbelServiceThread");
    hang.SetTimeoutLookup(
        [this](const XStringW& sid, const XStringW& name) { return pass.HangTimeoutOf(sid, name); });
    alive.SetLookups(
        [this](const XStringW& sid, const XStringW& name) { return pass.AliveCheckOf(sid, name); },
        [this](const XStringW& sid, const XStringW& name) { return pass.HangTimeoutOf(sid, name); });
    runs.SetRelaunchLookup([this](const XStringW& name, ULONGLONG endedAt) {
        return IsRelaunchAsked(name, endedAt);
    });
}

CQuorbelServiceThread::~CQuorbelServiceThread()
{
    EndPendingConsoles();
}

int CQuorbelServiceThread::ThreadFunc()
{
    if (IsHeldOff()) {
        TraceLog(kFunction, __LINE__, L"Service delay");
        return 0;
    }
    startsPutOff = false;
    // The sessions are asked once a pass: the process tables, the user and the launches are
    // those of the session found here.
    const DWORD sessionId = FindActiveSessionId();
    const XStringW sid =
        sessionId != 0 ? CQuorbelServiceHelper::GetSessionUserSID(sessionId) : XStringW();
    TakePassUser(sessionId, sid);
    processes.SetActiveSession(sessionId);
    // The ends seen by the waits are taken before the processes are looked at, so that a
    // program that ended is not in the snapshot any more. The consoles that ended since the
    // last pass are forgotten here, also those of names that are paused or gone from the list.
    consoleEnds.EndDue(seams.clock(), IsQuitRequested());
    hang.EndReported(runs);
    alive.EndFailed(runs);
    runs.TakeExits(processes);
    // Without a process list every program would look ended: nothing is started or forgotten.
    // What falls due (a console's end, a held-back start) still brings the next pass early.
    if (!processes.Refresh().IsTaken()) {
        ScheduleNextStart();
        return 0;
    }
    ForgetEndedConsoles(processes.Last().FindIds(CWindowService::kConsoleImageName));
    // With nobody logged on no start can succeed: none is tried, and none is waited for.
    if (sessionId == 0) {
        TraceLog(kFunction, __LINE__, L"no one logged on: nothing started");
        ScheduleNextStart();
        return 0;
    }
    KeepCompanionRunning(sessionId);
    if (IsQuitRequested()) {
        return 0;
    }

    const XStringWList names = pass.ReadList(sid);
    const bool listChanged = ApplyListChanges(sid, names);
    ApplyInterval(pass.IntervalText(sid));
    KeepEntriesRunning(sid, names);
    // Once every running program is waited on: a program held by a crash reporter is ended
    // through its wait, and its end wakes the next pass.
    crashes.EndHeldCrashes(processes.Current(), runs, seams.clock());
    hang.Update(sid, sessionId, names, listChanged, runs);
    alive.Update(sid, [this](const XStringW& text, XStringW& expanded) {
        return EnsureLogon() && CWindowService::ExpandForLogonUser(logon, text, expanded);
    }, names, listChanged, runs);
    ForgetDroppedEntries(sid, names);
    ScheduleNextStart();
    runs.ForgetEndedConsoles();

    if (names.GetCount() == 0) {
        TraceLog(kFunction, __LINE__, L"no watch list");
    }
    return 0;
}

void CQuorbelServiceThread::TakePassUser(DWORD sessionId, const XStringW& sid)
{
    const bool userChanged = sessionId != passSessionId || !(sid == passSid.GetString());
    // A launch that failed may have failed for the token: it is taken afresh.
    if (sessionChanged.exchange(false) || userChanged || logon.HasFailedLaunch()) {
        logon.Close();
    }
    logonTried = false;
    logonRefused = false;
    if (!userChanged) {
        return;
    }
    // Nothing of the previous user may be ended, counted or recorded under the new one.
    if (passSessionId != 0) {
        TraceLog("CQuorbelServiceThread::TakePassUser", __LINE__,
                 L"session %u of %@ is no longer the active one (session %u of %@): its "
                 L"programs are no longer watched",
                 passSessionId, passSid, sessionId, sid);
        hang.DropTargets();
        runs.ForgetAll();
        consoleRecords.EndAll(CWindowService::kEndedConsoleExitCode);
    }
    passSessionId = sessionId;
    passSid = sid;
    SetEventContext(sid, sessionId, [this, sid](const XStringW& name) {
        const EntryLaunch launch = pass.LaunchOf(sid, name);
        return EventEntry{launch.path, launch.source == EntrySource::kPolicy};
    });
}

bool CQuorbelServiceThread::EnsureLogon()
{
    if (logon.IsOpen() || logonTried) {
        return !logonRefused;
    }
    logonTried = true;
    // A failure to open is left to the launches, which report it for each program.
    // The user may have switched between the look at the session and the one at its token.
    if (logon.Open(passSessionId) && !logon.UserSid().IsEmpty() &&
        !(logon.UserSid() == passSid.GetString())) {
        TraceError("CQuorbelServiceThread::EnsureLogon", __LINE__,
                   L"session %u is %@'s now, not %@'s: nothing started until the next pass",
                   passSessionId, logon.UserSid(), passSid);
        logon.Close();
        logonRefused = true;
    }
    return !logonRefused;
}

bool CQuorbelServiceThread::IsRelaunchAsked(const XStringW& name, ULONGLONG endedAt)
{
    // Only the user's own list can ask: not the policy's programs, nor the companion.
    if (passSid.IsEmpty() || NameKey(name) == NameKey(kCompanionImageName) ||
        !pass.IsOwnEntry(name)) {
        return false;
    }
    return relaunch_request::Take(passSid, name, endedAt);
}

// True while the machine has been up for less than startDelay. The second reading, taken
// against startTick, keeps a service that was started later from ever being held off, also
// when the tick count wraps round after 49.7 days.
bool CQuorbelServiceThread::IsHeldOff() const
{
    if (seams.tickCount() >= startDelay) {
        return false;
    }
    return seams.tickCount() - startTick < startDelay;
}

// The companion is told the pipe it is to use when it starts; one that runs already uses the
// one it was told, or leaves once that is gone so that the next pass starts it anew.
void CQuorbelServiceThread::KeepCompanionRunning(DWORD sessionId)
{
    const XStringW companionName = kCompanionImageName;
    if (processes.Current().IsRunning(companionName)) {
        TraceLog(kFunction, __LINE__, L"Running Process %s", kCompanionImageName);
        RemoveCMDWatchList(companionName);
        runs.NoteRunning(companionName, processes.Last());
        return;
    }

    TraceLog(kFunction, __LINE__, L"Execute Service Manager");
    const XStringW arguments = hang.CompanionArguments(sessionId);
    RunProcess(companionName, CompanionPath(), arguments);
    // The console of a companion that came up has just been ended, so "no console left" alone
    // does not mean the start failed: only a companion that still does not run is started
    // once more, through the same console records and restart policy as the first start, so
    // that a companion that ends at once is held back like any program.
    const ProcessTable& table = processes.Current();
    if (IsQuitRequested() || !table.IsTaken() || table.IsRunning(companionName) ||
        table.IsRunning(CWindowService::kConsoleImageName)) {
        return;
    }
    RunProcess(companionName, CompanionPath(), arguments);
}

XStringW CQuorbelServiceThread::CompanionPath() const
{
    return hang.CompanionPath();
}

// An entry whose settings were edited gets a fresh start at once: the edit may be its fix.
// True when the list changed since the last pass.
bool CQuorbelServiceThread::ApplyListChanges(const XStringW& sid, const XStringWList& names)
{
    bool listChanged = false;
    for (const XStringW& name : pass.TakeChangedEntries(sid, names, listChanged)) {
        runs.ClearCount(name);
        TraceLog("CQuorbelServiceThread::ApplyListChanges", __LINE__,
                 L"watch list changed: quick exit counts cleared for %@", name);
    }
    if (!listChanged) {
        return false;
    }
    for (const XStringW& name : pass.TakeStartRequests(sid, names)) {
        if (runs.EndHold(name)) {
            TraceLog(kFunction, __LINE__, L"%@: a start now was asked for, its wait is cleared",
                     name);
        } else {
            TraceError(kFunction, __LINE__, L"%@: a start now was asked for within a minute of "
                       L"the last one, its wait stays", name);
        }
    }
    return true;
}

void CQuorbelServiceThread::ApplyInterval(const XStringW& intervalText)
{
    const DWORD milliseconds = pass.IntervalFor(intervalText);
    if (milliseconds != GetInterval()) {
        SetInterval(milliseconds);
        TraceLog(kFunction, __LINE__, L"setInterval : %u", milliseconds);
    }
}

void CQuorbelServiceThread::KeepEntriesRunning(const XStringW& sid, const XStringWList& names)
{
    // The count is read afresh before every step, under the list's own lock. A quit request
    // ends the pass before the next entry, whatever the length of the list.
    // A process list that fails after a start ends the pass as one that failed at its start.
    // The loop only decides: every setting was read before it, the consoles are looked up in the
    // pass's process list, and the starts it queues are all launched together after it, the
    // policy's programs (which come first) taken first.
    StartBatch batch(seams, *this, processes, logon, crashes.Job());
    const XStringWList consoleIds =
        processes.Current().FindIds(CWindowService::kConsoleImageName);
    int putOff = 0;
    for (int i = 0; i < names.GetCount() && !IsQuitRequested() && processes.Current().IsTaken();
         ++i) {
        // A program that ended during a long pass is started again by the next pass, which comes
        // at once, not after the rest of the list.
        if (i > 0 && runs.HasEnded()) {
            TraceLog("CQuorbelServiceThread::KeepEntriesRunning", __LINE__,
                     L"a watched program ended: the pass ends before watchList[%d]", i);
            break;
        }
        const XStringW& name = names.GetAt(i);
        if (processes.Current().IsRunning(name)) {
            TraceLog(kFunction, __LINE__, L"Running Process %@", name);
            RemoveCMDWatchList(name);
            runs.NoteRunning(name, processes.Last());
            continue;
        }
        // Neither a held-back entry (its hold was traced when it began) nor one whose start the
        // pace puts off costs a look at its settings or at the consoles. A start or a run that
        // waits to be decided on is decided whatever the pace.
        if (runs.IsHeldBack(name)) {
            continue;
        }
        const bool paced = !pass.IsSetByPolicy(name);
        if (paced && !startRate.HasRoom(seams.clock()) && !runs.IsAwaiting(name)) {
            ++putOff;
            continue;
        }
        const EntryLaunch launch = pass.LaunchOf(sid, name);
        TraceLog(kFunction, __LINE__, L"watchList[%d] : %@ path : %@%s", i, XStringW(name),
                 launch.path, launch.source == EntrySource::kPolicy ? L" (policy)" : L"");
        // Without a path cmd.exe would be started with nothing to run, at every pass.
        if (launch.path.IsEmpty()) {
            TraceError(kFunction, __LINE__, L"no program path for %@, nothing started", name);
            continue;
        }
        if (BeginStart(name, launch, consoleRecords.IsAlive(name, consoleIds), batch, paced)) {
            ++putOff;
        }
    }
    FinishStarts(batch, true);
    startsPutOff = putOff > 0;
    if (startsPutOff) {
        TraceLog("CQuorbelServiceThread::KeepEntriesRunning", __LINE__,
                 L"%d starts put off: the service starts %u at once and %u a second after that",
                 putOff, static_cast<unsigned>(StartRate::kBurst),
                 static_cast<unsigned>(StartRate::kPerSecond));
    }
    if (!sid.IsEmpty()) {
        publisher.SwitchTo(sid);
        for (int i = 0; i < names.GetCount() && !IsQuitRequested(); ++i) {
            publisher.Publish(sid, names.GetAt(i), runs.Find(NameKey(names.GetAt(i))),
                              alive.StatusOf(names.GetAt(i)));
        }
    }
}

// Paused and removed entries keep no waits, no policy and no published state.
void CQuorbelServiceThread::ForgetDroppedEntries(const XStringW& sid, const XStringWList& names)
{
    std::vector<std::wstring> keys;
    for (int i = 0; i < names.GetCount(); ++i) {
        keys.push_back(NameKey(names.GetAt(i)));
    }
    runs.KeepOnly(keys, NameKey(kCompanionImageName));
    publisher.KeepOnly(sid, keys);
    ForgetProgramEventsExcept(sid, keys);
}

// A held-back start, or a console's end, falls due before the interval is over: the pass after
// it comes then.
void CQuorbelServiceThread::ScheduleNextStart()
{
    const ULONGLONG now = seams.clock();
    ULONGLONG untilNext = (std::min)({runs.MsUntilNextStart(), consoleEnds.MsUntilNext(now),
                                      crashes.MsUntilDue(now)});
    if (startsPutOff) {
        untilNext = (std::min)(untilNext, startRate.MsUntilRoom(now));
    }
    if (untilNext != ConsoleEnds::kNone) {
        SetNextWait(static_cast<DWORD>((std::min<ULONGLONG>)(untilNext, kMaxIntervalMs)));
    }
}

DWORD CQuorbelServiceThread::RunProcess(const XStringW& name, const XStringW& path,
                                        const XStringW& arguments, const XStringW& directory)
{
    StartBatch batch(seams, *this, processes, logon, crashes.Job());
    EntryLaunch launch;
    launch.path = path;
    launch.arguments = arguments;
    launch.directory = directory;
    // Nothing new is started once the service is stopping: the consoles are not looked at then.
    BeginStart(name, launch, !IsQuitRequested() && IsRunCMD(name), batch, false);
    FinishStarts(batch);
    return batch.Programs().empty() ? 0 : batch.Programs().front().consoleId;
}

bool CQuorbelServiceThread::BeginStart(const XStringW& name, const EntryLaunch& launch,
                                       bool consoleAlive, StartBatch& batch, bool paced)
{
    TraceLog(kRunFunction, __LINE__, L"+%@", name);
    // Nothing new is started once the service is stopping.
    if (IsQuitRequested() || consoleAlive || !runs.MayStart(name) || !EnsureLogon()) {
        TraceLog(kRunFunction, __LINE__, L"+%@, ret = %d", name, 0);
        return false;
    }
    if (!startRate.Take(seams.clock(), paced)) {
        TraceLog(kRunFunction, __LINE__, L"+%@, ret = %d: put off", name, 0);
        return true;
    }
    batch.Add(name, launch.path, launch.arguments, launch.directory, launch.defaultErrorMode);
    return false;
}

void CQuorbelServiceThread::FinishStarts(StartBatch& batch, bool deferConsoleEnds)
{
    batch.LaunchAndWait(deferConsoleEnds);
    for (StartedProgram& started : batch.Programs()) {
        runs.Started(started.name, started.launchedAt, started.launchError);
        if (processes.Last().IsRunning(started.name)) {
            // Waited on before its console goes, so that an end right after is seen.
            runs.NoteRunning(started.name, processes.Last());
            TraceLog(kRunFunction, __LINE__, L"Immediately Kill CMD for %@, %d", started.name,
                     started.consoleId);
            batch.EndConsole(started, consoleEnds);
            RemoveCMDWatchList(started.name);
        } else {
            if (started.consoleId != 0) {
                runs.WatchConsole(started.name, started.consoleId);
            }
            AddCMDWatchList(started.name, started.consoleId, std::move(started.console));
        }
        TraceLog(kRunFunction, __LINE__, L"+%@, ret = %d", started.name, started.consoleId);
    }
}

void CQuorbelServiceThread::EndPendingConsoles()
{
    consoleEnds.EndDue(seams.clock(), true);
}

void CQuorbelServiceThread::Stop()
{
    Quit();
    Join();
    EndPendingConsoles();
    // The consoles of programs not seen running yet would stay for good, hidden.
    consoleRecords.EndAll(CWindowService::kEndedConsoleExitCode);
    runs.ReleaseWaits();
    pass.StopWatching();
    EndHangWatch();
    crashes.Stop();
    logon.Close();
}

void CQuorbelServiceThread::NoteSessionChange()
{
    sessionChanged.store(true);
    Wake();
}

bool CQuorbelServiceThread::IsRunCMD(const XStringW& name)
{
    const ProcessTable consoles = ProcessTable::Take();
    // Without a look at the processes every console would seem ended: none is forgotten, and
    // the program counts as still being started, so that no second copy is started.
    if (!consoles.IsTaken()) {
        TraceError("CQuorbelServiceThread::IsRunCMD", __LINE__,
                   L"no process list: %@ is not started now", name);
        return true;
    }
    const XStringWList consoleIds = consoles.FindIds(CWindowService::kConsoleImageName);
    TraceLog("CQuorbelServiceThread::IsRunCMD", __LINE__, L"pName : %@, cmdPidList count %d, %@",
             name, consoleIds.GetCount(), consoleIds.Join());
    ForgetEndedConsoles(consoleIds);
    const bool consoleAlive = consoleRecords.IsAlive(name, consoleIds);
    TraceLog("CQuorbelServiceThread::IsRunCMD", __LINE__, L"-%d", consoleAlive ? 1 : 0);
    return consoleAlive;
}

void CQuorbelServiceThread::ForgetEndedConsoles(const XStringWList& runningConsoleIds)
{
    consoleRecords.ForgetEnded(runningConsoleIds);
    runs.NoteEndedConsoles(consoleRecords.TakeEndedExitCodes());
}

void CQuorbelServiceThread::AddCMDWatchList(const XStringW& name, DWORD processId)
{
    consoleRecords.Add(name, processId, ScopedHandle());
}

void CQuorbelServiceThread::AddCMDWatchList(const XStringW& name, DWORD processId,
                                            ScopedHandle console)
{
    consoleRecords.Add(name, processId, std::move(console));
}

void CQuorbelServiceThread::RemoveCMDWatchList(const XStringW& name)
{
    consoleRecords.Remove(name);
}

CQuorbelServiceThread& GetWatchThread()
{
    static CQuorbelServiceThread watchThread;
    return watchThread;
}

DWORD StartWatchThread()
{
    CQuorbelServiceThread& watchThread = GetWatchThread();
    watchThread.startTick = ::GetTickCount();
    watchThread.startDelay = kStartDelayMs;
    watchThread.SetInterval(kDefaultIntervalMs);
    // A thread that ran before cleared its procedure when it ended.
    if (watchThread.GetThreadProc() == nullptr) {
        watchThread.SetThreadProc(XThread::ThreadProc);
    }
    if (watchThread.GetProcArg() == nullptr) {
        watchThread.SetProcArg(&watchThread);
    }
    return watchThread.Start() != nullptr ? NO_ERROR : ::GetLastError();
}

void StopWatchThread()
{
    GetWatchThread().Stop();
}

void WakeWatchThread()
{
    GetWatchThread().Wake();
}

void NoteWatchSessionChange()
{
    GetWatchThread().NoteSessionChange();
}
