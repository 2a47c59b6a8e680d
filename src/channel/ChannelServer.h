#pragma once
// The service's end of the channel to the companion: one message-mode named pipe for the session
// the programs are started in, named after that session, that admits LocalSystem and the
// session's interactive user only. The pipe is served by a thread of its own, one client at a
// time; the answers come from HangReports.

#include <windows.h>

#include <atomic>
#include <vector>

#include "channel/ChannelProtocol.h"
#include "channel/HangReports.h"
#include "common/ScopedHandle.h"
#include "service/XThread.h"

class ChannelServer : public XThread {
public:
    explicit ChannelServer(HangReports& reports);
    ~ChannelServer() override;

    // Serves the pipe of this session from now on (0: none). The pipe of another session that
    // was served is closed.
    void ServeSession(DWORD sessionId);
    DWORD ServedSession() const { return servedSession.load(); }
    // Starts the thread unless it runs; ends it and waits for it.
    bool EnsureStarted();
    void Stop();

    int ThreadFunc() override;

    // The answer to one message that came through the pipe of sessionId: the reply's bytes, or
    // none when the message is dropped (traced). tooLong: the message did not fit the buffer.
    static std::vector<BYTE> Answer(const BYTE* message, DWORD size, bool tooLong,
                                    DWORD sessionId, HangReports& reports);

    // The pipe's security: LocalSystem and the interactive user of the session (the user's SID
    // from the session's token). False (traced) when the user cannot be learned.
    static bool BuildSecurity(DWORD sessionId, ScopedLocalMemory& descriptor);

    // How long a connected client may stay silent before it is let go; the companion asks every
    // two seconds.
    static constexpr DWORD kIdleClientMs = 30000;

private:
    ScopedHandle CreatePipe(DWORD sessionId);
    bool AwaitClient(HANDLE pipe, DWORD sessionId);
    void ServeClient(HANDLE pipe, DWORD sessionId);
    bool IsClientOfSession(HANDLE pipe, DWORD sessionId);
    // Waits for an overlapped operation; false when it failed, timed out, or the session or a
    // quit request cut it short (the operation is then cancelled).
    bool Complete(HANDLE pipe, OVERLAPPED& overlapped, BOOL started, DWORD timeoutMs,
                  DWORD& bytes, DWORD& error, DWORD sessionId);
    bool ShouldLeave(DWORD sessionId) const;

    HangReports& reports;
    std::atomic<DWORD> servedSession{0};
    ScopedHandle changeEvent;  // set when the served session changes
};
