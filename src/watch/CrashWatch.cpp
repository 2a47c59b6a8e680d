#include "watch/CrashWatch.h"

#include <algorithm>
#include <map>
#include <vector>

#include "config/CrashDialog.h"
#include "process/CrashReporters.h"
#include "trace/Trace.h"

namespace {
constexpr const char* kFunction = "CrashWatch::Judge";
// The completion key that ends the listener; the job's own messages carry the job's handle.
constexpr ULONG_PTR kQuitKey = 1;
// A reporter seen in a table may not show its command line yet: it is looked at again this often,
// for this long.
constexpr ULONGLONG kLookAgainMs = 200;
constexpr ULONGLONG kCommandLineGraceMs = 3000;
constexpr UINT kEndedReporterExitCode = 1;

// The processes just started in the job whose image is not known yet. Under Wine a new process
// has no image name until it has begun to run, which under load can take seconds, and until its
// first thread runs its handle even reads as signalled: so a process counts as gone only once the
// job has said it exited, or once kNameGraceMs passed without a name. Each is held by a handle,
// so that its id names no other process meanwhile.
class StartingProcesses {
public:
    static constexpr ULONGLONG kNameGraceMs = 10000;
    static constexpr ULONGLONG kNameLookMs = 50;  // how often a name is asked for

    bool IsEmpty() const { return starting.empty(); }
    void Add(DWORD processId, ULONGLONG now)
    {
        ScopedHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
        if (process) {  // else it has gone already
            starting[processId] = Starting{std::move(process), now + kNameGraceMs};
        }
    }
    void Exited(DWORD processId) { starting.erase(processId); }
    // The ids of the reporters among them; each process whose image is known, or whose time is
    // over, is let go.
    std::vector<DWORD> TakeReporters(ULONGLONG now)
    {
        std::vector<DWORD> reporters;
        for (auto item = starting.begin(); item != starting.end();) {
            const XStringW image = crash_reporters::ImageNameOf(item->second.process.Get());
            if (!image.IsEmpty() && crash_reporters::IsReporterImage(image)) {
                reporters.push_back(item->first);
            } else if (image.IsEmpty() && now < item->second.until) {
                ++item;
                continue;
            } else if (image.IsEmpty()) {
                TraceLog("CrashWatch::Listen", __LINE__,
                         L"process %u of the job shows no image after %u s: not looked at again",
                         item->first, static_cast<unsigned>(kNameGraceMs / 1000));
            }
            item = starting.erase(item);
        }
        return reporters;
    }

private:
    struct Starting {
        ScopedHandle process;
        ULONGLONG until = 0;
    };
    std::map<DWORD, Starting> starting;
};
}  // namespace

CrashWatch::CrashWatch(WakeFunc wakeFunc) : wake(std::move(wakeFunc)) {}

CrashWatch::~CrashWatch()
{
    Stop();
}

HANDLE CrashWatch::Job()
{
    if (jobTried) {
        return job.Get();
    }
    jobTried = true;
    job.Reset(::CreateJobObjectW(nullptr, nullptr));
    port.Reset(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    // A program that asks to start a process outside any job of ours may.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association{};
    association.CompletionKey = job.Get();
    association.CompletionPort = port.Get();
    if (!job || !port ||
        !::SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                                   sizeof(limits)) ||
        !::SetInformationJobObject(job.Get(), JobObjectAssociateCompletionPortInformation,
                                   &association, sizeof(association))) {
        TraceError("CrashWatch::Job", __LINE__,
                   L"no job for the programs (error %u): a crash reporter is found by the "
                   L"interval's pass only",
                   ::GetLastError());
        job.Reset();
        port.Reset();
        return nullptr;
    }
    listener = std::thread([this] { Listen(); });
    return job.Get();
}

void CrashWatch::Stop()
{
    if (listener.joinable()) {
        ::PostQueuedCompletionStatus(port.Get(), 0, kQuitKey, nullptr);
        listener.join();
    }
    job.Reset();
    port.Reset();
    jobTried = false;
    reporters.clear();
}

void CrashWatch::Listen()
{
    StartingProcesses starting;
    for (;;) {
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED overlapped = nullptr;
        const DWORD waitMs =
            starting.IsEmpty() ? INFINITE : static_cast<DWORD>(StartingProcesses::kNameLookMs);
        if (::GetQueuedCompletionStatus(port.Get(), &message, &key, &overlapped, waitMs)) {
            if (key == kQuitKey) {
                return;
            }
            // The message's "overlapped" is the id of the process it is about.
            const DWORD processId = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(overlapped));
            if (message == JOB_OBJECT_MSG_NEW_PROCESS) {
                starting.Add(processId, ::GetTickCount64());
            } else if (message == JOB_OBJECT_MSG_EXIT_PROCESS ||
                       message == JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS) {
                starting.Exited(processId);
            }
        } else if (overlapped != nullptr || ::GetLastError() != WAIT_TIMEOUT) {
            TraceError("CrashWatch::Listen", __LINE__, L"the job's port failed (error %u)",
                       ::GetLastError());
            return;
        }
        const std::vector<DWORD> reporters = starting.TakeReporters(::GetTickCount64());
        for (const DWORD reporterId : reporters) {
            TraceLog("CrashWatch::Listen", __LINE__, L"crash reporter %u started", reporterId);
        }
        if (!reporters.empty() && wake) {
            wake();
        }
    }
}

void CrashWatch::EndHeldCrashes(const ProcessTable& processes, ProgramRuns& runs, ULONGLONG now)
{
    const std::vector<DWORD> ids = crash_reporters::Find(processes);
    if (ids.empty()) {
        reporters.clear();
        return;
    }
    std::map<DWORD, Judged> seen;
    for (const DWORD id : ids) {
        const ULONGLONG createdAt = processes.CreationTime(id);
        const auto known = reporters.find(id);
        Judged judged;
        if (known != reporters.end() && known->second.createdAt == createdAt) {
            judged = known->second;
        } else {
            judged.createdAt = createdAt;
            judged.firstSeenAt = now;
            judged.dueAt = now;
        }
        if (judged.dueAt != 0 && now >= judged.dueAt) {
            judged.dueAt = 0;
            Judge(id, judged, runs, now);
        }
        seen[id] = judged;
    }
    reporters = std::move(seen);
}

void CrashWatch::Judge(DWORD reporterId, Judged& judged, ProgramRuns& runs, ULONGLONG now)
{
    const crash_reporters::Reporter reporter = crash_reporters::Open(reporterId);
    if (!reporter.process) {
        return;  // gone, or its id names another process now
    }
    if (reporter.crashedProcessId == 0) {
        if (now - judged.firstSeenAt < kCommandLineGraceMs) {
            judged.dueAt = now + kLookAgainMs;
        } else {
            TraceLog(kFunction, __LINE__, L"crash reporter %u names no process: left alone",
                     reporterId);
        }
        return;
    }
    const XStringW name = runs.NameOfLiveProcess(reporter.crashedProcessId);
    if (name.IsEmpty()) {
        TraceLog(kFunction, __LINE__,
                 L"crash reporter %u works on process %u, no watched program: left alone",
                 reporterId, reporter.crashedProcessId);
        return;
    }
    if (judged.dumpUntil == 0 && crash_dialog::DumpsAskedFor(name)) {
        judged.dumpUntil = now + kDumpGraceMs;
        TraceLog(kFunction, __LINE__,
                 L"%@ crashed: crash reporter %u may write its dump (LocalDumps) for %u s",
                 name, reporterId, static_cast<unsigned>(kDumpGraceMs / 1000));
    }
    if (now < judged.dumpUntil) {
        judged.dueAt = judged.dumpUntil;
        return;
    }
    if (!runs.EndHeldCrash(name, reporter.crashedProcessId)) {
        return;
    }
    if (!::TerminateProcess(reporter.process.Get(), kEndedReporterExitCode)) {
        TraceError(kFunction, __LINE__, L"crash reporter %u not ended (error %u)", reporterId,
                   ::GetLastError());
        return;
    }
    TraceLog(kFunction, __LINE__, L"%@ crashed: crash reporter %u held process %u, both ended",
             name, reporterId, reporter.crashedProcessId);
}

ULONGLONG CrashWatch::MsUntilDue(ULONGLONG now) const
{
    ULONGLONG until = kNone;
    for (const auto& item : reporters) {
        if (item.second.dueAt != 0) {
            until = (std::min)(until, item.second.dueAt > now ? item.second.dueAt - now : 0);
        }
    }
    return until;
}
