#include "watch/StartBatch.h"

#include <algorithm>
#include <atomic>

#include "trace/Trace.h"
#include "watch/WatchEvents.h"

namespace {
// How often the started programs are looked for while they get their second: soon after the
// launch, then less often, as each look is a whole process list.
constexpr DWORD kFirstStartPollMs = 25;
constexpr DWORD kLongestStartPollMs = 200;
// Under Wine a console program whose console is ended while the program is still starting up
// can hang before it runs a line of its own (seen 300 ms after the launch). A console is
// therefore ended only once it has had its second, even when every program was seen earlier:
// the pass knows sooner which programs came up, and ends their consoles when it is safe.
constexpr DWORD kConsoleSettleMs = 1000;

// Launches run on the thread pool, one worker a processor: each worker takes the next program as
// soon as its last launch returned, so no launch waits for a group, and a quit request is seen
// before every launch.
size_t LaunchWorkers(size_t programCount)
{
    SYSTEM_INFO system{};
    ::GetSystemInfo(&system);
    const size_t processors = (std::max)(static_cast<size_t>(system.dwNumberOfProcessors),
                                         static_cast<size_t>(2));
    return (std::min)(processors, programCount);
}

bool HasConsole(const StartedProgram& program)
{
    return program.consoleId != 0;
}

// A console that ended brings up nothing more: cmd.exe waits for a console program it runs, and
// a windowed one is in the process list by the time cmd.exe goes on.
bool ConsoleEnded(const StartedProgram& program)
{
    return program.console && ::WaitForSingleObject(program.console.Get(), 0) == WAIT_OBJECT_0;
}

// The programs one LaunchPending launches, shared by its workers: each takes the next by `next`.
struct Launches {
    const WatchSeams* seams;
    const XThread* owner;
    UserLogon* logon;
    std::vector<StartedProgram*> programs;
    std::atomic<size_t> next{0};
};
}  // namespace

StartBatch::StartBatch(const WatchSeams& seams, const XThread& owner, ProcessView& processes,
                       UserLogon& logon, HANDLE job)
    : seams(seams), owner(owner), processes(processes), logon(logon), job(job)
{
}

void StartBatch::Add(const XStringW& name, const XStringW& path, const XStringW& arguments,
                     const XStringW& directory, bool crashDialog)
{
    StartedProgram started;
    started.name = name;
    started.path = path;
    started.arguments = arguments;
    started.directory = directory;
    started.options.crashDialog = crashDialog;
    started.options.job = job;
    programs.push_back(std::move(started));
}

void CALLBACK StartBatch::LaunchOne(PTP_CALLBACK_INSTANCE, void* context, PTP_WORK)
{
    Launches* const launches = static_cast<Launches*>(context);
    // Nothing new is started once the service is stopping.
    for (size_t next = launches->next++;
         next < launches->programs.size() && !launches->owner->IsQuitRequested();
         next = launches->next++) {
        StartedProgram& program = *launches->programs[next];
        program.consoleId = launches->seams->launcher(*launches->logon, program.path,
                                                      program.arguments, program.directory,
                                                      &program.console, program.options);
        program.launchedAt = launches->seams->clock();
        // The launcher leaves its reason in this pool thread's last error.
        program.launchError = program.consoleId == 0 ? ::GetLastError() : ERROR_SUCCESS;
        program.launched = true;
    }
}

void StartBatch::LaunchPending()
{
    Launches pending;
    pending.seams = &seams;
    pending.owner = &owner;
    pending.logon = &logon;
    for (size_t i = launched; i < programs.size(); ++i) {
        pending.programs.push_back(&programs[i]);
    }
    launched = programs.size();
    // A single start, or a pool that cannot be had, runs on this thread.
    const ScopedThreadpoolWork work(pending.programs.size() > 1
                                        ? ::CreateThreadpoolWork(&LaunchOne, &pending, nullptr)
                                        : nullptr);
    if (work) {
        for (size_t i = LaunchWorkers(pending.programs.size()); i > 0; --i) {
            ::SubmitThreadpoolWork(work.Get());
        }
    } else {
        LaunchOne(nullptr, &pending, nullptr);
    }
    if (work) {
        ::WaitForThreadpoolWorkCallbacks(work.Get(), FALSE);
    }
    for (const StartedProgram* program : pending.programs) {
        if (program->launched && program->consoleId == 0) {
            ReportStartFailed(program->name, program->path, program->launchError,
                              program->directory);
        }
    }
}

void StartBatch::LaunchAndWait(bool deferConsoleEnds)
{
    LaunchPending();
    programs.erase(std::remove_if(programs.begin(), programs.end(),
                                  [](const StartedProgram& p) {
                                      if (!p.launched) {
                                          TraceLog("CQuorbelServiceThread::RunProcess", __LINE__,
                                                   L"+%@, ret = %d", p.name, 0);
                                      }
                                      return !p.launched;
                                  }),
                   programs.end());
    // A launch that failed started nothing to wait for.
    if (std::none_of(programs.begin(), programs.end(), HasConsole)) {
        return;
    }
    // A quit request cuts the wait short; the consoles are still recorded or ended after it.
    const ULONGLONG launchedAt = seams.clock();
    WaitForStartedPrograms();
    const ULONGLONG waited = seams.clock() - launchedAt;
    const DWORD settleMs = (std::min)(kConsoleSettleMs, seams.programStartWaitMs);
    if (!deferConsoleEnds && waited < settleMs) {
        owner.WaitForQuit(static_cast<DWORD>(settleMs - waited));
    }
    deferred = deferConsoleEnds && waited < settleMs;
    settledAt = launchedAt + settleMs;
}

void StartBatch::EndConsole(StartedProgram& started, ConsoleEnds& consoleEnds)
{
    if (deferred) {
        consoleEnds.EndAt(settledAt, started.consoleId, std::move(started.console));
    } else {
        ConsoleEnds::EndNow(started.consoleId, started.console);
    }
    processes.MarkStale();
}

// Ends as soon as every started program is seen or its console has ended (a program that
// cannot be found, one that ended at once), at the latest after programStartWaitMs. Whether a
// program runs is asked of a fresh snapshot, which the pass goes on with.
void StartBatch::WaitForStartedPrograms()
{
    const ULONGLONG begin = seams.clock();
    std::vector<bool> ended(programs.size());
    DWORD pollMs = kFirstStartPollMs;
    for (;;) {
        // Looked at before the snapshot: a program its console started before it ended is in it.
        for (size_t i = 0; i < programs.size(); ++i) {
            ended[i] = ConsoleEnded(programs[i]);
        }
        const ProcessTable& table = processes.Refresh();
        bool allUp = true;
        for (size_t i = 0; i < programs.size(); ++i) {
            allUp = allUp && (!HasConsole(programs[i]) || ended[i] ||
                              table.IsRunning(programs[i].name));
        }
        const ULONGLONG waited = seams.clock() - begin;
        if (allUp || waited >= seams.programStartWaitMs) {
            return;
        }
        const DWORD slice = static_cast<DWORD>(
            (std::min<ULONGLONG>)(pollMs, seams.programStartWaitMs - waited));
        pollMs = (std::min)(pollMs * 2, kLongestStartPollMs);
        if (owner.WaitForQuit(slice)) {
            processes.Refresh();
            return;
        }
    }
}
