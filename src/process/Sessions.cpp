#include "process/Sessions.h"

#include <wtsapi32.h>

#include "common/ScopedHandle.h"

DWORD FindActiveSessionId()
{
    PWTS_SESSION_INFOW sessions = nullptr;
    DWORD count = 0;
    if (!::WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) {
        return 0;
    }
    const ScopedWtsMemory sessionsOwner(sessions);
    for (DWORD i = 0; i < count; ++i) {
        if (sessions[i].State == WTSActive) {
            return sessions[i].SessionId;
        }
    }
    return 0;
}

bool FindOwnSessionId(DWORD& sessionId)
{
    return ::ProcessIdToSessionId(::GetCurrentProcessId(), &sessionId) != FALSE;
}
