// The companion program: the service keeps one running in the user's session, where it can see
// the user's windows, which the service cannot. It asks the service through the session's pipe
// which watched programs have a hang timeout and tells it about each one whose windows stopped
// answering for that long; the service ends and restarts it. Without a service to ask, it waits.

#include <windows.h>

#include "CompanionAgent.h"
#include "CompanionClient.h"
#include "WindowProbe.h"
#include "trace/Trace.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // One companion per session is enough; a second copy leaves at once.
    const ScopedHandle instance(CreateMutexW(nullptr, FALSE, L"QuorbelServiceManager"));
    if (!instance || GetLastError() == ERROR_ALREADY_EXISTS) {
        return 0;
    }
    InitTrace();
    DWORD sessionId = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &sessionId)) {
        TraceError("wWinMain", __LINE__, L"own session unknown (error %u)", GetLastError());
    }
    TraceLog("wWinMain", __LINE__, L"companion of session %u", sessionId);

    CompanionClient client(sessionId);
    CompanionAgent agent(
        [&client](std::vector<channel::Target>& targets) { return client.AskTargets(targets); },
        [&client](DWORD processId, DWORD seconds, bool& accepted) {
            return client.ReportHung(processId, seconds, accepted);
        },
        &LookAtWindows);
    for (;;) {
        agent.RunOnce(GetTickCount64());
        Sleep(CompanionAgent::kRoundMs);
    }
}
