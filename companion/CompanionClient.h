#pragma once
// The companion's end of the channel: the pipe the service named when it started this companion,
// opened when needed and kept while it works, and only when the process that serves it is the
// service as the service control manager reports it. Every exchange is one request and one
// reply, bounded in time.

#include <windows.h>

#include <functional>
#include <vector>

#include "channel/ChannelProtocol.h"
#include "common/ScopedHandle.h"

class CompanionClient {
public:
    // The process the service runs in (0: it does not run, or cannot be asked).
    using ServiceProcessFunc = std::function<DWORD()>;

    CompanionClient(const XStringW& pipeName, ServiceProcessFunc serviceProcess);

    // The processes of this session to look at, with their timeouts. False when the service
    // cannot be reached or answers no list.
    bool AskTargets(std::vector<channel::Target>& targets);
    // Reports a process with no responding window; verdict: a channel::VerdictValue.
    bool ReportHung(DWORD processId, DWORD seconds, DWORD& verdict);
    bool IsConnected() const { return static_cast<bool>(pipe); }
    // True once the service has run for kOrphanedAfterMs (until nowMs) without a pipe of the
    // name this companion was given: it was started by an earlier run of the service, or for
    // another session, and cannot reach the service any more. A service that does not run is
    // waited for.
    bool IsOrphaned(ULONGLONG nowMs);

    static constexpr DWORD kReplyTimeoutMs = 5000;
    static constexpr ULONGLONG kOrphanedAfterMs = 10000;

private:
    bool Connect();
    bool IsServedByTheService();
    bool Exchange(const channel::Request& request, std::vector<BYTE>& reply);

    XStringW pipeName;
    ServiceProcessFunc serviceProcess;
    ScopedHandle pipe;
    ScopedHandle event;
    bool absenceTraced = false;
    DWORD strangerTraced = 0;  // the last process other than the service found serving the pipe
    bool pipeMissing = false;  // the last try found no pipe of the name
    bool missingCounted = false;  // missingSinceMs holds when the service was first found without it
    ULONGLONG missingSinceMs = 0;
};
