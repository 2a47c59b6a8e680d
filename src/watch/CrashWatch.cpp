#include "watch/CrashWatch.h"

#include <algorithm>
#include <cwchar>
#include <vector>

#include "config/CrashDialog.h"
#include "process/CrashReporters.h"
#include "trace/Trace.h"

namespace {
constexpr const char* kFunction = "CrashWatch::Judge";
// The completion key that ends the listener; the job's own messages carry the job's handle.
constexpr ULONG_PTR kQuitKey = 1;
// A reporter just started may not show its image name or command line yet (Wine fills them in
// after its first notice): it is looked at again this often, for this long.
constexpr ULONGLONG kLookAgainMs = 200;
constexpr ULONGLONG kCommandLineGraceMs = 3000;
constexpr int kImageNameTries = 60;  // 3 s: Wine fills a new process in slowly under load
constexpr UINT kEndedReporterExitCode = 1;
// Whether a process just started in the job runs a crash reporter; its image name may not be
// there to read at once.
bool IsReporterStarting(DWORD processId)
{
    const ScopedHandle process(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId));
    for (int attempt = 0; process && attempt < kImageNameTries; ++attempt) {
        wchar_t path[MAX_PATH * 2] = {};
        DWORD chars = sizeof(path) / sizeof(path[0]);
        if (::QueryFullProcessImageNameW(process.Get(), 0, path, &chars)) {
            const wchar_t* const slash = std::wcsrchr(path, L'\\');
            return crash_reporters::IsReporterImage(XStringW(slash != nullptr ? slash + 1 : path));
        }
        if (::WaitForSingleObject(process.Get(), static_cast<DWORD>(kLookAgainMs / 4)) !=
            WAIT_TIMEOUT) {
            return false;
        }
    }
    return false;
}
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
    for (;;) {
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED overlapped = nullptr;
        if (!::GetQueuedCompletionStatus(port.Get(), &message, &key, &overlapped, INFINITE)) {
            TraceError("CrashWatch::Listen", __LINE__, L"the job's port failed (error %u)",
                       ::GetLastError());
            return;
        }
        if (key == kQuitKey) {
            return;
        }
        // The message's "overlapped" is the id of the process it is about.
        const DWORD processId = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(overlapped));
        if (message == JOB_OBJECT_MSG_NEW_PROCESS && IsReporterStarting(processId) && wake) {
            TraceLog("CrashWatch::Listen", __LINE__, L"crash reporter %u started", processId);
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
