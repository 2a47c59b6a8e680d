#pragma once
// The companion's end of the channel: the service's pipe for this session, opened when needed
// and kept while it works. Every exchange is one request and one reply, bounded in time.

#include <windows.h>

#include <vector>

#include "channel/ChannelProtocol.h"
#include "common/ScopedHandle.h"

class CompanionClient {
public:
    explicit CompanionClient(DWORD sessionId) : sessionId(sessionId) {}

    // The processes of this session to look at, with their timeouts. False when the service
    // cannot be reached or answers no list.
    bool AskTargets(std::vector<channel::Target>& targets);
    // Reports a process with no responding window; accepted tells whether the service acts.
    bool ReportHung(DWORD processId, DWORD seconds, bool& accepted);
    bool IsConnected() const { return static_cast<bool>(pipe); }

    static constexpr DWORD kReplyTimeoutMs = 5000;

private:
    bool Connect();
    bool Exchange(const channel::Request& request, std::vector<BYTE>& reply);

    DWORD sessionId;
    ScopedHandle pipe;
    ScopedHandle event;
    bool absenceTraced = false;
};
