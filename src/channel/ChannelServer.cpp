#include "channel/ChannelServer.h"

#include <sddl.h>
#include <wtsapi32.h>

#include <cstring>

#include "trace/Trace.h"

namespace {
constexpr const char* kFunction = "ChannelServer::ThreadFunc";
constexpr DWORD kReplyTimeoutMs = 5000;
// A pipe that cannot be made (the name taken, no user in the session) is tried again after this.
constexpr DWORD kRetryMs = 5000;
// The user may read and write the pipe and set its read mode, but not make instances of it:
// FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES. FILE_GENERIC_WRITE would include
// FILE_APPEND_DATA, which on a pipe is the right to create an instance.
constexpr DWORD kClientAccess = FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;
static_assert(kClientAccess == 0x12018B, "read, write data, write attributes");

XStringW SessionUserSid(DWORD sessionId)
{
    ScopedHandle token;
    if (!::WTSQueryUserToken(sessionId, token.Receive())) {
        TraceError("ChannelServer::BuildSecurity", __LINE__,
                   L"no user token for session %u (error %u)", sessionId, ::GetLastError());
        return XStringW();
    }
    BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)] = {};
    DWORD size = 0;
    if (!::GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size)) {
        TraceError("ChannelServer::BuildSecurity", __LINE__,
                   L"no user of session %u's token (error %u)", sessionId, ::GetLastError());
        return XStringW();
    }
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
        return XStringW();
    }
    const ScopedLocalMemory textOwner(text);
    return XStringW(text);
}
}  // namespace

ChannelServer::ChannelServer(HangReports& hangReports)
    : reports(hangReports), changeEvent(::CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
    SetName(L"ChannelServer");
}

ChannelServer::~ChannelServer()
{
    Stop();
}

void ChannelServer::ServeSession(DWORD sessionId)
{
    if (servedSession.exchange(sessionId) != sessionId && changeEvent) {
        ::SetEvent(changeEvent.Get());
    }
}

bool ChannelServer::EnsureStarted()
{
    if (GetState() == kRunning) {
        return true;
    }
    SetThreadProc(XThread::ThreadProc);
    SetProcArg(this);
    return Start() != nullptr;
}

void ChannelServer::Stop()
{
    Quit();
    Join();
}

bool ChannelServer::ShouldLeave(DWORD sessionId) const
{
    return IsQuitRequested() || servedSession.load() != sessionId;
}

int ChannelServer::ThreadFunc()
{
    while (!IsQuitRequested()) {
        const DWORD sessionId = servedSession.load();
        ScopedHandle pipe;
        if (sessionId != 0) {
            pipe = CreatePipe(sessionId);
        }
        if (!pipe) {
            const HANDLE events[] = {quitEvent.Get(), changeEvent.Get()};
            ::WaitForMultipleObjects(2, events, FALSE, sessionId == 0 ? INFINITE : kRetryMs);
            continue;
        }
        while (!ShouldLeave(sessionId)) {
            if (AwaitClient(pipe.Get(), sessionId)) {
                ServeClient(pipe.Get(), sessionId);
            } else if (!ShouldLeave(sessionId)) {
                WaitForQuit(1000);  // a failing pipe is not served in a tight loop
            }
            ::DisconnectNamedPipe(pipe.Get());
        }
        TraceLog(kFunction, __LINE__, L"pipe of session %u closed", sessionId);
    }
    return 0;
}

bool ChannelServer::BuildSecurity(DWORD sessionId, ScopedLocalMemory& descriptor)
{
    const XStringW userSid = SessionUserSid(sessionId);
    if (userSid.IsEmpty()) {
        return false;
    }
    // Protected: nothing is inherited from a parent, only these two may open the pipe.
    XStringW sddl;
    sddl.Format(L"D:P(A;;GA;;;SY)(A;;0x%x;;;%@)", kClientAccess, userSid);
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.GetString(), SDDL_REVISION_1,
                                                                &made, nullptr)) {
        TraceError("ChannelServer::BuildSecurity", __LINE__, L"no descriptor %@ (error %u)", sddl,
                   ::GetLastError());
        return false;
    }
    descriptor.Reset(made);
    return true;
}

ScopedHandle ChannelServer::CreatePipe(DWORD sessionId)
{
    ScopedLocalMemory descriptor;
    if (!BuildSecurity(sessionId, descriptor)) {
        return ScopedHandle();
    }
    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof(security);
    security.lpSecurityDescriptor = descriptor.Get();
    const XStringW name = channel::PipeName(sessionId);
    // The first instance: a pipe of that name made by anyone else beforehand is refused, so no
    // other process can sit in the service's place. The one instance is reused for every client.
    ScopedHandle pipe(::CreateNamedPipeW(
        name.GetString(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
        channel::kReplyBufferBytes, channel::kRequestBufferBytes, 0, &security));
    if (!pipe) {
        TraceError(kFunction, __LINE__, L"cannot serve %@ (error %u)", name, ::GetLastError());
        return ScopedHandle();
    }
    TraceLog(kFunction, __LINE__, L"serving %@", name);
    return pipe;
}

bool ChannelServer::AwaitClient(HANDLE pipe, DWORD sessionId)
{
    ScopedHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    const BOOL started = ::ConnectNamedPipe(pipe, &overlapped);
    if (!started && ::GetLastError() == ERROR_PIPE_CONNECTED) {
        return true;
    }
    DWORD bytes = 0;
    DWORD error = ERROR_SUCCESS;
    if (Complete(pipe, overlapped, started, INFINITE, bytes, error, sessionId)) {
        return true;
    }
    if (!ShouldLeave(sessionId)) {
        TraceError(kFunction, __LINE__, L"no client connected (error %u)", error);
    }
    return false;
}

bool ChannelServer::IsClientOfSession(HANDLE pipe, DWORD sessionId)
{
    ULONG clientId = 0;
    DWORD clientSession = 0;
    if (!::GetNamedPipeClientProcessId(pipe, &clientId) ||
        !::ProcessIdToSessionId(clientId, &clientSession)) {
        TraceError(kFunction, __LINE__, L"client of unknown session let go (error %u)",
                   ::GetLastError());
        return false;
    }
    if (clientSession != sessionId) {
        TraceError(kFunction, __LINE__, L"client process %u of session %u let go", clientId,
                   clientSession);
        return false;
    }
    return true;
}

void ChannelServer::ServeClient(HANDLE pipe, DWORD sessionId)
{
    if (!IsClientOfSession(pipe, sessionId)) {
        return;
    }
    ScopedHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    BYTE message[channel::kRequestBufferBytes];
    while (!ShouldLeave(sessionId)) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.Get();
        DWORD bytes = 0;
        DWORD error = ERROR_SUCCESS;
        const BOOL read = ::ReadFile(pipe, message, sizeof(message), nullptr, &overlapped);
        if (!Complete(pipe, overlapped, read, kIdleClientMs, bytes, error, sessionId)) {
            if (error != ERROR_BROKEN_PIPE && !ShouldLeave(sessionId)) {
                TraceError(kFunction, __LINE__, L"client let go (error %u)", error);
            }
            return;
        }
        const bool tooLong = error == ERROR_MORE_DATA;
        const std::vector<BYTE> reply = Answer(message, bytes, tooLong, sessionId, reports);
        // The rest of an oversized message is not read: its sender is no companion of ours.
        if (tooLong) {
            return;
        }
        if (reply.empty()) {
            continue;
        }
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event.Get();
        const BOOL written = ::WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()),
                                         nullptr, &overlapped);
        if (!Complete(pipe, overlapped, written, kReplyTimeoutMs, bytes, error, sessionId)) {
            TraceError(kFunction, __LINE__, L"reply not delivered (error %u)", error);
            return;
        }
    }
}

bool ChannelServer::Complete(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD timeoutMs,
                             DWORD& bytes, DWORD& error, DWORD sessionId)
{
    if (!started) {
        error = ::GetLastError();
        if (error != ERROR_IO_PENDING && error != ERROR_MORE_DATA) {
            return false;
        }
        const HANDLE events[] = {overlapped.hEvent, quitEvent.Get(), changeEvent.Get()};
        DWORD wait = WAIT_OBJECT_0;
        if (error == ERROR_IO_PENDING) {
            do {
                wait = ::WaitForMultipleObjects(3, events, FALSE, timeoutMs);
                // A change event for the session still served does not cut the wait short.
            } while (wait == WAIT_OBJECT_0 + 2 && !ShouldLeave(sessionId));
        }
        if (error == ERROR_IO_PENDING && wait != WAIT_OBJECT_0) {
            ::CancelIoEx(pipe, &overlapped);
            ::GetOverlappedResult(pipe, &overlapped, &bytes, TRUE);
            error = wait == WAIT_TIMEOUT ? ERROR_TIMEOUT : ERROR_OPERATION_ABORTED;
            return false;
        }
    }
    if (!::GetOverlappedResult(pipe, &overlapped, &bytes, TRUE)) {
        error = ::GetLastError();
        return error == ERROR_MORE_DATA;
    }
    error = ERROR_SUCCESS;
    return true;
}

std::vector<BYTE> ChannelServer::Answer(const BYTE* message, DWORD size, bool tooLong,
                                        DWORD sessionId, HangReports& reports)
{
    const char* const function = "ChannelServer::Answer";
    channel::Request request;
    if (tooLong || size != sizeof(request)) {
        TraceError(function, __LINE__, L"session %u: message of %s%u bytes dropped", sessionId,
                   tooLong ? L"more than " : L"", size);
        return {};
    }
    std::memcpy(&request, message, sizeof(request));
    if (request.magic != channel::kMagic ||
        (request.kind != channel::kAskTargets && request.kind != channel::kReportHung)) {
        TraceError(function, __LINE__, L"session %u: malformed message (0x%x, kind %u) dropped",
                   sessionId, request.magic, request.kind);
        return {};
    }
    if (request.kind == channel::kAskTargets) {
        reports.NoteContact(::GetTickCount64());
        return channel::EncodeTargets(reports.TargetsOf(sessionId));
    }
    channel::Verdict verdict;
    verdict.processId = request.processId;
    verdict.accepted =
        reports.Judge(sessionId, request.processId, request.seconds) == HangReports::Verdict::kAccepted
            ? 1
            : 0;
    std::vector<BYTE> reply(sizeof(verdict));
    std::memcpy(reply.data(), &verdict, sizeof(verdict));
    return reply;
}
