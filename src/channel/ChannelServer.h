#pragma once
// The service's end of the channel to the companion: a message-mode named pipe for the session
// the programs are started in, that admits LocalSystem and the session's interactive user only.
// Its name carries a token drawn when the service begins to serve the session, so no one can make
// it first, and the service hands it to the companion it starts. The pipe has a few instances,
// so a client that holds one keeps no one out; and only the companion the service started, run
// from the service's own folder, is heard: any other client is let go at once. The pipe is served
// by a thread of its own; the answers come from HangReports.

#include <windows.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "channel/ChannelProtocol.h"
#include "channel/HangReports.h"
#include "channel/LineAllowance.h"
#include "common/ScopedHandle.h"
#include "process/ProcessOwner.h"
#include "service/XThread.h"

class ChannelServer : public XThread {
public:
    explicit ChannelServer(HangReports& reports);
    ~ChannelServer() override;

    // Serves a pipe for this session from now on and returns its name, the one to hand to the
    // companion; it stays the same while the session is served. The pipe of another session that
    // was served is closed. Empty (traced) when no pipe could be made; the next call tries again.
    // 0: nothing is served.
    XStringW ServeSession(DWORD sessionId);
    DWORD ServedSession() const { return servedSession.load(); }
    // Starts the thread unless it runs; ends it and waits for it.
    bool EnsureStarted();
    void Stop();

    int ThreadFunc() override;

    // The answer to one message from the companion of sessionId, who runs as client: the
    // reply's bytes, or none when the message is dropped (traced at most once a minute).
    // tooLong: the message did not fit the buffer.
    std::vector<BYTE> Answer(const BYTE* message, DWORD size, bool tooLong, DWORD sessionId,
                             const TokenIdentity& client);

    // The pipe's security: LocalSystem and the interactive user of the session (the user's SID
    // from the session's token). False (traced) when the user cannot be learned.
    static bool BuildSecurity(DWORD sessionId, ScopedLocalMemory& descriptor);

    // How long a connected client may stay silent before it is let go; the companion asks every
    // two seconds.
    static constexpr DWORD kIdleClientMs = 30000;
    // Instances of the pipe: a few clients that hold one each leave the others free.
    static constexpr DWORD kInstances = 4;

private:
    struct Instance;
    static ScopedHandle CreateInstance(const XStringW& name, DWORD sessionId, bool first);
    void ServePipe(DWORD sessionId, const XStringW& name, ScopedHandle first);
    bool Listen(Instance& instance);
    bool IsHeard(HANDLE pipe, DWORD sessionId);
    void ServeClient(HANDLE pipe, DWORD sessionId);
    // Waits for an overlapped operation; false when it failed, timed out, or the session or a
    // quit request cut it short (the operation is then cancelled).
    bool Complete(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD timeoutMs,
                  DWORD& bytes, DWORD& error, DWORD sessionId);
    bool ShouldLeave(DWORD sessionId) const;

    HangReports& reports;
    std::atomic<DWORD> servedSession{0};
    ScopedHandle changeEvent;  // set when the served session changes
    // The first instance of the session's pipe, made by ServeSession, until the thread takes it.
    std::mutex handover;
    ScopedHandle handedPipe;
    XStringW servedName;
    LineAllowance unheardLines;    // the channel thread's alone
    LineAllowance malformedLines;  // the channel thread's alone
};
