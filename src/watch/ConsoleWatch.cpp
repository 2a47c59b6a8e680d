// Starting programs through their consoles. A program is not started again while one of its
// consoles still runs; a console whose program is up within its second is ended at once, through
// the process handle it was created with, so that no other process that was given its id since
// can be hit. The starts of one pass are made one after the other without waiting, and then
// share one wait.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "process/CWinHelper.h"
#include "trace/Trace.h"
#include "watch/CQuorbelServiceThread.h"
#include "watch/NameKey.h"
#include "watch/WatchEvents.h"

namespace {
constexpr const wchar_t* kConsoleImageName = L"cmd.exe";
// What an ended console reports as its exit code.
constexpr UINT kEndedConsoleExitCode = 1;
// How often the started programs are looked for while they get their second.
constexpr DWORD kStartPollMs = 25;
// Under Wine a console program whose console is ended while the program is still starting up
// can hang before it runs a line of its own (seen 300 ms after the launch). A console is
// therefore ended only once it has had its second, even when every program was seen earlier:
// the pass knows sooner which programs came up, and ends their consoles when it is safe.
constexpr DWORD kConsoleSettleMs = 1000;

// Launches run on the thread pool this many at a time: a start costs tens of milliseconds, most
// of it outside the Wine server, and a quit request is still seen between two groups.
constexpr size_t kLaunchGroup = 8;

// One thread-pool work item launches the programs of a group; each callback takes the next one.
struct LaunchGroup {
    CQuorbelServiceThread* thread;
    std::vector<void*> programs;
    std::atomic<size_t> next{0};
};
}  // namespace

DWORD CQuorbelServiceThread::RunProcess(const XStringW& name, const XStringW& path,
                                        const XStringW& arguments, const XStringW& directory)
{
    StartBatch batch;
    BeginStart(name, path, arguments, directory, batch);
    FinishStarts(batch);
    return batch.programs.empty() ? 0 : batch.programs.front().consoleId;
}

void CQuorbelServiceThread::BeginStart(const XStringW& name, const XStringW& path,
                                       const XStringW& arguments, const XStringW& directory,
                                       StartBatch& batch)
{
    TraceLog("CQuorbelServiceThread::RunProcess", __LINE__, L"+%@", name);
    // Nothing new is started once the service is stopping.
    bool start = !IsQuitRequested() && !IsRunCMD(name);
    if (start) {
        NoteLostRun(name);
        if (!policy.MayStart(NameKey(name), clock())) {
            const RestartPolicy::Entry* const entry = policy.Find(NameKey(name));
            TraceLog("CQuorbelServiceThread::RunProcess", __LINE__,
                     L"%@ held back after %u quick exits, next start in %u ms", name,
                     entry->quickExits, static_cast<unsigned>(entry->nextStartAt - clock()));
            start = false;
        }
    }
    if (!start) {
        TraceLog("CQuorbelServiceThread::RunProcess", __LINE__, L"+%@, ret = %d", name, 0);
        return;
    }
    StartedProgram started;
    started.name = name;
    started.path = path;
    started.arguments = arguments;
    started.directory = directory;
    batch.programs.push_back(std::move(started));
    if (batch.programs.size() - batch.launched >= kLaunchGroup) {
        LaunchPending(batch);
    }
}

void CALLBACK CQuorbelServiceThread::LaunchOne(PTP_CALLBACK_INSTANCE, void* context, PTP_WORK)
{
    LaunchGroup* const group = static_cast<LaunchGroup*>(context);
    StartedProgram& program = *static_cast<StartedProgram*>(group->programs[group->next++]);
    // Nothing new is started once the service is stopping.
    if (group->thread->IsQuitRequested()) {
        return;
    }
    program.consoleId = group->thread->launcher(program.path, program.arguments,
                                                program.directory, &program.console);
    // The launcher leaves its reason in this pool thread's last error.
    program.launchError = program.consoleId == 0 ? ::GetLastError() : ERROR_SUCCESS;
    program.launched = true;
}

void CQuorbelServiceThread::LaunchPending(StartBatch& batch)
{
    LaunchGroup group;
    group.thread = this;
    for (size_t i = batch.launched; i < batch.programs.size(); ++i) {
        group.programs.push_back(&batch.programs[i]);
    }
    batch.launched = batch.programs.size();
    // A single start, or a pool that cannot be had, runs on this thread.
    const ScopedThreadpoolWork work(group.programs.size() > 1
                                        ? ::CreateThreadpoolWork(&LaunchOne, &group, nullptr)
                                        : nullptr);
    for (size_t i = 0; i < group.programs.size(); ++i) {
        if (work) {
            ::SubmitThreadpoolWork(work.Get());
        } else {
            LaunchOne(nullptr, &group, nullptr);
        }
    }
    if (work) {
        ::WaitForThreadpoolWorkCallbacks(work.Get(), FALSE);
    }
    for (void* item : group.programs) {
        const StartedProgram& program = *static_cast<StartedProgram*>(item);
        if (!program.launched) {
            continue;
        }
        if (program.consoleId == 0) {
            ReportStartFailed(program.name, program.path, program.launchError);
        }
        policy.Started(NameKey(program.name), clock());
    }
}

void CQuorbelServiceThread::FinishStarts(StartBatch& batch, bool deferConsoleEnds)
{
    LaunchPending(batch);
    // Programs whose turn came after a quit request were not started and leave no record.
    batch.programs.erase(std::remove_if(batch.programs.begin(), batch.programs.end(),
                                        [](const StartedProgram& p) {
                                            if (!p.launched) {
                                                TraceLog("CQuorbelServiceThread::RunProcess",
                                                         __LINE__, L"+%@, ret = %d", p.name, 0);
                                            }
                                            return !p.launched;
                                        }),
                         batch.programs.end());
    if (batch.programs.empty()) {
        return;
    }
    // A quit request cuts the wait short; the consoles are still recorded or ended below.
    const ULONGLONG launchedAt = clock();
    WaitForStartedPrograms(batch);
    const ULONGLONG waited = clock() - launchedAt;
    const DWORD settleMs = (std::min)(kConsoleSettleMs, programStartWaitMs);
    if (!deferConsoleEnds && waited < settleMs) {
        WaitForQuit(static_cast<DWORD>(settleMs - waited));
    }
    for (StartedProgram& started : batch.programs) {
        if (processes.IsRunning(started.name)) {
            // Waited on before its console goes, so that an end right after is seen.
            NoteRunning(started.name);
            TraceLog("CQuorbelServiceThread::RunProcess", __LINE__,
                     L"Immediately Kill CMD for %@, %d", started.name, started.consoleId);
            if (deferConsoleEnds && waited < settleMs) {
                ConsoleToEnd pending;
                pending.endAt = launchedAt + settleMs;
                pending.consoleId = started.consoleId;
                pending.console = std::move(started.console);
                consolesToEnd.push_back(std::move(pending));
            } else {
                EndConsole(started);
            }
            processesStale = true;
            RemoveCMDWatchList(started.name);
        } else {
            if (started.consoleId != 0) {
                XStringWList consoleId;
                consoleId.Add(XStringW().Format(L"%d", started.consoleId));
                consoleWaits.Watch(started.name, consoleId);
            }
            AddCMDWatchList(started.name, started.consoleId, std::move(started.console));
        }
        TraceLog("CQuorbelServiceThread::RunProcess", __LINE__, L"+%@, ret = %d", started.name,
                 started.consoleId);
    }
}

// Ends as soon as every started program is seen, at the latest after programStartWaitMs.
// Whether a program runs is asked of a fresh snapshot, which the pass goes on with.
void CQuorbelServiceThread::WaitForStartedPrograms(const StartBatch& batch)
{
    const ULONGLONG begin = clock();
    for (;;) {
        RefreshProcesses();
        const bool allUp = std::all_of(batch.programs.begin(), batch.programs.end(),
                                       [&](const StartedProgram& s) { return processes.IsRunning(s.name); });
        const ULONGLONG waited = clock() - begin;
        if (allUp || waited >= programStartWaitMs) {
            return;
        }
        const DWORD slice = static_cast<DWORD>(
            (std::min<ULONGLONG>)(kStartPollMs, programStartWaitMs - waited));
        if (WaitForQuit(slice)) {
            RefreshProcesses();
            return;
        }
    }
}

// Through the handle the console was created with; a start that handed out none (a stand-in
// launcher) leaves its console alone rather than end a process by an id alone.
void CQuorbelServiceThread::EndConsole(const StartedProgram& started)
{
    if (!started.console) {
        TraceError("CQuorbelServiceThread::RunProcess", __LINE__,
                   L"no handle of console %d, left running", started.consoleId);
        return;
    }
    if (!::TerminateProcess(started.console.Get(), kEndedConsoleExitCode)) {
        TraceError("CQuorbelServiceThread::RunProcess", __LINE__,
                   L"console %d not ended, error %d", started.consoleId, ::GetLastError());
    }
}

void CQuorbelServiceThread::EndDueConsoles()
{
    const ULONGLONG now = clock();
    for (auto pending = consolesToEnd.begin(); pending != consolesToEnd.end();) {
        if (pending->endAt > now && !IsQuitRequested()) {
            ++pending;
            continue;
        }
        StartedProgram started;
        started.consoleId = pending->consoleId;
        started.console = std::move(pending->console);
        EndConsole(started);
        pending = consolesToEnd.erase(pending);
    }
}

void CQuorbelServiceThread::EndPendingConsoles()
{
    for (ConsoleToEnd& pending : consolesToEnd) {
        pending.endAt = 0;
    }
    EndDueConsoles();
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
    const XStringWList consoleIds = consoles.FindIds(kConsoleImageName);
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
    for (const auto& ended : consoleRecords.TakeEndedExitCodes()) {
        endedConsoleCodes[ended.first] = ended.second;
    }
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
