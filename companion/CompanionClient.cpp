#include "CompanionClient.h"

#include <cstring>

#include "trace/Trace.h"

namespace {
constexpr const char* kFunction = "CompanionClient";
// Read, write and set the read mode: what the pipe's security grants the session's user.
constexpr DWORD kPipeAccess = FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;

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
}  // namespace

bool CompanionClient::Connect()
{
    if (pipe) {
        return true;
    }
    const XStringW name = channel::PipeName(sessionId);
    // Identification only: the service may learn who we are, not act as us.
    pipe.Reset(::CreateFileW(name.GetString(), kPipeAccess, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                             nullptr));
    if (!pipe) {
        // Said once until the service is reached: the companion tries every round.
        if (!absenceTraced) {
            TraceLog(kFunction, __LINE__, L"no service at %@ (error %u)", name, ::GetLastError());
            absenceTraced = true;
        }
        return false;
    }
    absenceTraced = false;
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!::SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr)) {
        TraceError(kFunction, __LINE__, L"message mode refused (error %u)", ::GetLastError());
        pipe.Reset();
        return false;
    }
    if (!event) {
        event.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    }
    TraceLog(kFunction, __LINE__, L"connected to %@", name);
    return static_cast<bool>(event);
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
        TraceError(kFunction, __LINE__, L"no list of targets in %u bytes", static_cast<unsigned>(reply.size()));
        pipe.Reset();
        return false;
    }
    return true;
}

bool CompanionClient::ReportHung(DWORD processId, DWORD seconds, bool& accepted)
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
    accepted = verdict.accepted == 1;
    return true;
}
