// The companion program: the service keeps one running in the user's session, where it can see
// the user's windows, which the service cannot. It asks the service through the pipe the service
// named on its command line ("--pipe <name>") which watched programs have a hang timeout, and
// tells it about each one whose windows stopped answering; the service times the hang, ends and
// restarts the program. Without a service to ask, it waits; once a service runs that serves no
// pipe of that name, it leaves, and the service starts a companion that knows the new one.

#include <windows.h>
#include <shellapi.h>

#include "CompanionAgent.h"
#include "CompanionClient.h"
#include "WindowProbe.h"
#include "app/Commands.h"
#include "service/CWindowService.h"
#include "trace/Trace.h"

namespace {
// The name after "--pipe" on the command line; empty without one.
XStringW PipeNameArgument()
{
    int count = 0;
    LPWSTR* const arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr) {
        return XStringW();
    }
    const ScopedLocalMemory owner(arguments);
    for (int i = 1; i + 1 < count; ++i) {
        if (lstrcmpiW(arguments[i], channel::kPipeArgument) == 0) {
            return XStringW(arguments[i + 1]);
        }
    }
    return XStringW();
}
}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // One companion per session is enough; a second copy leaves at once.
    const ScopedHandle instance(CreateMutexW(nullptr, FALSE, L"QuorbelServiceManager"));
    if (!instance || GetLastError() == ERROR_ALREADY_EXISTS) {
        return 0;
    }
    InitTrace();
    const XStringW pipeName = PipeNameArgument();
    TraceLog("wWinMain", __LINE__, L"companion for %@", pipeName.IsEmpty() ? XStringW(L"no pipe") : pipeName);

    CompanionClient client(pipeName, [] { return CWindowService::RunningProcessId(kServiceName); });
    CompanionAgent agent(
        [&client](std::vector<channel::Target>& targets) { return client.AskTargets(targets); },
        [&client](DWORD processId, DWORD seconds, DWORD& verdict) {
            return client.ReportHung(processId, seconds, verdict);
        },
        &LookAtWindows);
    for (;;) {
        agent.RunOnce(GetTickCount64());
        if (client.IsOrphaned(GetTickCount64())) {
            TraceLog("wWinMain", __LINE__, L"the service serves no %@ any more: leaving", pipeName);
            return 0;
        }
        Sleep(CompanionAgent::kRoundMs);
    }
}
