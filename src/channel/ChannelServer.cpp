#include "channel/ChannelServer.h"

#include <ntsecapi.h>
#include <sddl.h>
#include <wtsapi32.h>

#include <cstring>

#include "trace/Trace.h"

namespace {
constexpr const char* kFunction = "ChannelServer::ThreadFunc";
constexpr DWORD kReplyTimeoutMs = 5000;
constexpr DWORD kTokenBytes = 16;

XStringW SessionUserSid(DWORD sessionId)
{
    ScopedHandle token;
    if (!::WTSQueryUserToken(sessionId, token.Receive())) {
        TraceError("ChannelServer::BuildSecurity", __LINE__,
                   L"no user token for session %u (error %u)", sessionId, ::GetLastError());
        return XStringW();
    }
    const TokenIdentity identity = IdentityOfToken(token.Get());
    if (!identity.IsKnown()) {
        TraceError("ChannelServer::BuildSecurity", __LINE__, L"no user of session %u's token",
                   sessionId);
    }
    return identity.userSid;
}

// A token no one can guess: 128 bits of the system's random generator, in hex.
XStringW DrawToken()
{
    BYTE bytes[kTokenBytes] = {};
    if (!::RtlGenRandom(bytes, sizeof(bytes))) {
        TraceError("ChannelServer::ServeSession", __LINE__, L"no random token (error %u)",
                   ::GetLastError());
        return XStringW();
    }
    XStringW token;
    for (const BYTE byte : bytes) {
        token.AppendFormat(L"%02x", byte);
    }
    return token;
}

// Who a connected client runs as: learnt by impersonating it, which needs a message read first.
TokenIdentity ClientIdentity(HANDLE pipe)
{
    if (!::ImpersonateNamedPipeClient(pipe)) {
        TraceError("ChannelServer::ServeClient", __LINE__, L"client not identified (error %u)",
                   ::GetLastError());
        return TokenIdentity();
    }
    ScopedHandle token;
    const bool opened = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.Receive());
    const DWORD error = ::GetLastError();
    ::RevertToSelf();
    if (!opened) {
        TraceError("ChannelServer::ServeClient", __LINE__, L"no token of the client (error %u)",
                   error);
        return TokenIdentity();
    }
    return IdentityOfToken(token.Get());
}
}  // namespace

struct ChannelServer::Instance {
    ScopedHandle pipe;
    ScopedHandle event;
    OVERLAPPED overlapped{};
    bool listening = false;
    bool connected = false;  // a client came before the instance listened
};

ChannelServer::ChannelServer(HangReports& hangReports)
    : reports(hangReports), changeEvent(::CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
    SetName(L"ChannelServer");
}

ChannelServer::~ChannelServer()
{
    Stop();
}

XStringW ChannelServer::ServeSession(DWORD sessionId)
{
    {
        const std::lock_guard<std::mutex> guard(handover);
        if (sessionId == servedSession.load() && (!servedName.IsEmpty() || sessionId == 0)) {
            return servedName;
        }
    }
    ScopedHandle first;
    XStringW name;
    if (sessionId != 0) {
        const XStringW token = DrawToken();
        if (!token.IsEmpty()) {
            name = channel::PipeName(sessionId, token);
            first = CreateInstance(name, sessionId, true);
        }
        if (!first) {
            name = XStringW();
        }
    }
    {
        const std::lock_guard<std::mutex> guard(handover);
        handedPipe = std::move(first);
        servedName = name;
        servedSession.store(sessionId);
    }
    if (changeEvent) {
        ::SetEvent(changeEvent.Get());
    }
    return name;
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
        ScopedHandle first;
        XStringW name;
        DWORD sessionId = 0;
        {
            const std::lock_guard<std::mutex> guard(handover);
            first = std::move(handedPipe);
            name = servedName;
            sessionId = servedSession.load();
        }
        if (!first) {
            const HANDLE events[] = {quitEvent.Get(), changeEvent.Get()};
            ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
            continue;
        }
        ServePipe(sessionId, name, std::move(first));
        TraceLog(kFunction, __LINE__, L"%@ closed", name);
        const std::lock_guard<std::mutex> guard(handover);
        // A pipe that failed while its session is still served is made anew at the next pass.
        if (servedSession.load() == sessionId && !handedPipe) {
            servedName = XStringW();
        }
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
    sddl.Format(L"D:P(A;;GA;;;SY)(A;;0x%x;;;%@)", channel::kClientAccess, userSid);
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

ScopedHandle ChannelServer::CreateInstance(const XStringW& name, DWORD sessionId, bool first)
{
    ScopedLocalMemory descriptor;
    if (!BuildSecurity(sessionId, descriptor)) {
        return ScopedHandle();
    }
    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof(security);
    security.lpSecurityDescriptor = descriptor.Get();
    // The first instance is refused when a pipe of that name exists already, so no other process
    // can sit in the service's place.
    const DWORD openMode =
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    ScopedHandle pipe(::CreateNamedPipeW(
        name.GetString(), openMode,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        kInstances, channel::kReplyBufferBytes, channel::kRequestBufferBytes, 0, &security));
    if (!pipe) {
        TraceError("ChannelServer::CreateInstance", __LINE__, L"cannot serve %@ (error %u)", name,
                   ::GetLastError());
        return ScopedHandle();
    }
    if (first) {
        TraceLog("ChannelServer::CreateInstance", __LINE__, L"serving %@", name);
    }
    return pipe;
}

// Every instance waits for a client at once; each client is checked as it comes, and only the
// companion is served, for as long as it stays.
void ChannelServer::ServePipe(DWORD sessionId, const XStringW& name, ScopedHandle first)
{
    std::vector<Instance> instances(kInstances);
    instances[0].pipe = std::move(first);
    for (DWORD i = 1; i < kInstances; ++i) {
        instances[i].pipe = CreateInstance(name, sessionId, false);
    }
    for (Instance& instance : instances) {
        if (instance.pipe) {
            instance.event.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
            instance.listening = instance.event && Listen(instance);
        }
    }
    while (!ShouldLeave(sessionId)) {
        std::vector<HANDLE> events = {quitEvent.Get(), changeEvent.Get()};
        std::vector<Instance*> listening;
        for (Instance& instance : instances) {
            if (instance.listening) {
                events.push_back(instance.event.Get());
                listening.push_back(&instance);
            }
        }
        if (listening.empty()) {
            break;
        }
        const DWORD wait = ::WaitForMultipleObjects(static_cast<DWORD>(events.size()),
                                                    events.data(), FALSE, INFINITE);
        if (wait < WAIT_OBJECT_0 + 2 || wait >= WAIT_OBJECT_0 + events.size()) {
            continue;
        }
        Instance& instance = *listening[wait - WAIT_OBJECT_0 - 2];
        DWORD bytes = 0;
        if (instance.connected ||
            ::GetOverlappedResult(instance.pipe.Get(), &instance.overlapped, &bytes, FALSE)) {
            if (IsHeard(instance.pipe.Get(), sessionId)) {
                ServeClient(instance.pipe.Get(), sessionId);
            }
        } else {
            TraceError("ChannelServer::ServePipe", __LINE__, L"no client connected (error %u)",
                       ::GetLastError());
        }
        ::DisconnectNamedPipe(instance.pipe.Get());
        instance.listening = Listen(instance);
    }
    for (Instance& instance : instances) {
        if (instance.listening) {
            ::CancelIoEx(instance.pipe.Get(), &instance.overlapped);
            DWORD bytes = 0;
            ::GetOverlappedResult(instance.pipe.Get(), &instance.overlapped, &bytes, TRUE);
        }
    }
}

bool ChannelServer::Listen(Instance& instance)
{
    instance.overlapped = OVERLAPPED{};
    instance.overlapped.hEvent = instance.event.Get();
    instance.connected = false;
    ::ResetEvent(instance.event.Get());
    if (::ConnectNamedPipe(instance.pipe.Get(), &instance.overlapped)) {
        return true;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
        return true;
    }
    if (error == ERROR_PIPE_CONNECTED) {
        // Connected between the instance's making and this call: no completion will come.
        instance.connected = true;
        ::SetEvent(instance.event.Get());
        return true;
    }
    TraceError("ChannelServer::Listen", __LINE__, L"an instance of the pipe fails (error %u)",
               error);
    return false;
}

bool ChannelServer::IsHeard(HANDLE pipe, DWORD sessionId)
{
    ULONG clientId = 0;
    DWORD clientSession = 0;
    const bool known = ::GetNamedPipeClientProcessId(pipe, &clientId) &&
                       ::ProcessIdToSessionId(clientId, &clientSession);
    const XStringW image = known ? ProcessImagePath(clientId) : XStringW();
    if (known && clientSession == sessionId && reports.IsCompanion(clientId, image)) {
        return true;
    }
    DWORD held = 0;
    if (unheardLines.Allow(reports.Now(), held)) {
        TraceError("ChannelServer::IsHeard", __LINE__,
                   L"client process %u of session %u (%@) is not the companion: not heard "
                   L"(%u more not heard before it)",
                   clientId, clientSession, image, held);
    }
    return false;
}

void ChannelServer::ServeClient(HANDLE pipe, DWORD sessionId)
{
    ScopedHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    BYTE message[channel::kRequestBufferBytes];
    TokenIdentity client;
    while (!ShouldLeave(sessionId)) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.Get();
        DWORD bytes = 0;
        DWORD error = ERROR_SUCCESS;
        const BOOL read = ::ReadFile(pipe, message, sizeof(message), nullptr, &overlapped);
        if (!Complete(pipe, overlapped, read, kIdleClientMs, bytes, error, sessionId)) {
            if (error != ERROR_BROKEN_PIPE && !ShouldLeave(sessionId)) {
                TraceError("ChannelServer::ServeClient", __LINE__, L"client let go (error %u)",
                           error);
            }
            return;
        }
        if (!client.IsKnown()) {
            client = ClientIdentity(pipe);
        }
        const bool tooLong = error == ERROR_MORE_DATA;
        const std::vector<BYTE> reply = Answer(message, bytes, tooLong, sessionId, client);
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
            TraceError("ChannelServer::ServeClient", __LINE__, L"reply not delivered (error %u)",
                       error);
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
                                        DWORD sessionId, const TokenIdentity& client)
{
    const char* const function = "ChannelServer::Answer";
    channel::Request request;
    const bool sized = !tooLong && size == sizeof(request);
    if (sized) {
        std::memcpy(&request, message, sizeof(request));
    }
    if (!sized || request.magic != channel::kMagic ||
        (request.kind != channel::kAskTargets && request.kind != channel::kReportHung)) {
        DWORD held = 0;
        if (malformedLines.Allow(reports.Now(), held)) {
            TraceError(function, __LINE__,
                       L"session %u: message of %s%u bytes (0x%x, kind %u) dropped (%u more "
                       L"dropped before it)",
                       sessionId, tooLong ? L"more than " : L"", size, sized ? request.magic : 0,
                       sized ? request.kind : 0, held);
        }
        return {};
    }
    if (request.kind == channel::kAskTargets) {
        reports.NoteContact();
        return channel::EncodeTargets(reports.TargetsOf(sessionId));
    }
    channel::Verdict verdict;
    verdict.processId = request.processId;
    switch (reports.Judge(sessionId, request.processId, request.seconds, client)) {
    case HangReports::Verdict::kAccepted:
        verdict.accepted = channel::kEnding;
        break;
    case HangReports::Verdict::kTiming:
        verdict.accepted = channel::kTiming;
        break;
    default:
        verdict.accepted = channel::kRefused;
        break;
    }
    std::vector<BYTE> reply(sizeof(verdict));
    std::memcpy(reply.data(), &verdict, sizeof(verdict));
    return reply;
}
