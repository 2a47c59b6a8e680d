#include "CompanionClient.h"

#include <cstring>

#include "trace/Trace.h"

namespace {
constexpr const char* kFunction = "CompanionClient";
// How long a try to connect waits for a free instance of the pipe.
constexpr DWORD kBusyWaitMs = 1000;

// Waits for an overlapped operation for at most timeoutMs; cancels it when the time is over.
bool Finish(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD& bytes)
{
    if (!started && ::GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    if (::WaitForSingleObject(overlapped.hEvent, CompanionClient::kReplyTimeoutMs) !=
        WAIT_OBJECT_0) {
        ::CancelIoEx(pipe, &overlapped);
        ::GetOverlappedResult(pipe, &overlapped, &bytes, TRUE);
        ::SetLastError(ERROR_TIMEOUT);
        return false;
    }
    return ::GetOverlappedResult(pipe, &overlapped, &bytes, FALSE) != FALSE;
}

HANDLE OpenPipe(const XStringW& name)
{
    // Identification only: the service may learn who we are, not act as us.
    return ::CreateFileW(name.GetString(), channel::kClientAccess, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                         nullptr);
}
}  // namespace

CompanionClient::CompanionClient(const XStringW& name, ServiceProcessFunc serviceProcessFunc)
    : pipeName(name), serviceProcess(std::move(serviceProcessFunc))
{
}

bool CompanionClient::Connect()
{
    if (pipe) {
        return true;
    }
    pipeMissing = pipeName.IsEmpty();
    if (pipeMissing) {
        return false;
    }
    pipe.Reset(OpenPipe(pipeName));
    // Every instance taken: one comes free when the service lets a client go.
    if (!pipe && ::GetLastError() == ERROR_PIPE_BUSY &&
        ::WaitNamedPipeW(pipeName.GetString(), kBusyWaitMs)) {
        pipe.Reset(OpenPipe(pipeName));
    }
    if (!pipe) {
        const DWORD error = ::GetLastError();
        pipeMissing = error == ERROR_FILE_NOT_FOUND;
        // Said once until the service is reached: the companion tries every round.
        if (!absenceTraced) {
            TraceLog(kFunction, __LINE__, L"no service at %@ (error %u)", pipeName, error);
            absenceTraced = true;
        }
        return false;
    }
    absenceTraced = false;
    if (!IsServedByTheService()) {
        pipe.Reset();
        return false;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!::SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr)) {
        TraceError(kFunction, __LINE__, L"message mode refused (error %u)", ::GetLastError());
        pipe.Reset();
        return false;
    }
    if (!event) {
        event.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    TraceLog(kFunction, __LINE__, L"connected to %@", pipeName);
    return static_cast<bool>(event);
}

// Nothing is written to a pipe that another process serves: it could answer anything.
bool CompanionClient::IsServedByTheService()
{
    ULONG serverId = 0;
    if (!::GetNamedPipeServerProcessId(pipe.Get(), &serverId)) {
        TraceError(kFunction, __LINE__, L"server of %@ unknown (error %u): not used", pipeName,
                   ::GetLastError());
        return false;
    }
    const DWORD serviceId = serviceProcess();
    if (serviceId == 0 || serverId != serviceId) {
        // Said once for each process found serving it.
        if (serverId == strangerTraced) {
            return false;
        }
        strangerTraced = serverId;
        TraceError(kFunction, __LINE__,
                   L"%@ is served by process %u, not by the service (process %u): not used",
                   pipeName, serverId, serviceId);
        return false;
    }
    return true;
}

bool CompanionClient::IsOrphaned(ULONGLONG nowMs)
{
    if (!pipeMissing || serviceProcess() == 0) {
        missingCounted = false;
        return false;
    }
    if (!missingCounted) {
        missingCounted = true;
        missingSinceMs = nowMs;
    }
    return nowMs - missingSinceMs >= kOrphanedAfterMs;
}

bool CompanionClient::Exchange(const channel::Request& request, std::vector<BYTE>& reply)
{
    if (!Connect()) {
        return false;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    DWORD bytes = 0;
    const BOOL written = ::WriteFile(pipe.Get(), &request, sizeof(request), nullptr, &overlapped);
    bool done = Finish(pipe.Get(), overlapped, written, bytes) && bytes == sizeof(request);
    if (done) {
        reply.assign(channel::kReplyBufferBytes, 0);
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event.Get();
        const BOOL read = ::ReadFile(pipe.Get(), reply.data(), static_cast<DWORD>(reply.size()),
                                     nullptr, &overlapped);
        done = Finish(pipe.Get(), overlapped, read, bytes);
        reply.resize(done ? bytes : 0);
    }
    if (!done) {
        // The next exchange starts on a fresh connection, so no late reply is taken for its own.
        TraceError(kFunction, __LINE__, L"exchange failed (error %u)", ::GetLastError());
        pipe.Reset();
    }
    return done;
}

bool CompanionClient::AskTargets(std::vector<channel::Target>& targets)
{
    channel::Request request;
    request.kind = channel::kAskTargets;
    std::vector<BYTE> reply;
    if (!Exchange(request, reply)) {
        return false;
    }
    if (!channel::DecodeTargets(reply.data(), reply.size(), targets)) {
        TraceError(kFunction, __LINE__, L"no list of targets in %u bytes",
                   static_cast<unsigned>(reply.size()));
        pipe.Reset();
        return false;
    }
    return true;
}

bool CompanionClient::ReportHung(DWORD processId, DWORD seconds, DWORD& verdictValue)
{
    channel::Request request;
    request.kind = channel::kReportHung;
    request.processId = processId;
    request.seconds = seconds;
    std::vector<BYTE> reply;
    if (!Exchange(request, reply)) {
        return false;
    }
    channel::Verdict verdict;
    if (reply.size() != sizeof(verdict)) {
        pipe.Reset();
        return false;
    }
    std::memcpy(&verdict, reply.data(), sizeof(verdict));
    if (verdict.magic != channel::kMagic || verdict.kind != channel::kVerdict ||
        verdict.processId != processId) {
        pipe.Reset();
        return false;
    }
    verdictValue = verdict.accepted;
    return true;
}
