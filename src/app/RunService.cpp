#include <windows.h>

#include "app/Commands.h"
#include "service/CWindowService.h"
#include "service/CWindowServiceThread.h"
#include "trace/Trace.h"
#include "watch/CQuorbelServiceThread.h"
#include "paths/ModulePaths.h"

namespace {
// The name in the dispatcher table; a service with a process of its own is not looked up by it.
wchar_t kDispatcherServiceName[] = L"service_name";
}  // namespace

void RunService()
{
    TraceLog("RunService", __LINE__, L"+ run service");

    static CWindowServiceThread serviceThread;
    serviceThread.mainFunc = StartWatchThread;
    serviceThread.endFunc = StopWatchThread;
    serviceThread.sessionChangeFunc = NoteWatchSessionChange;
    CWindowService::serviceThread = &serviceThread;
    CWindowService::modulePath = GetModulePath(true);

    const SERVICE_TABLE_ENTRYW dispatchTable[] = {
        {kDispatcherServiceName, CWindowService::serviceMainEx},
        {nullptr, nullptr},
    };
    // Fails at once when the service control manager did not start this process.
    ::StartServiceCtrlDispatcherW(dispatchTable);
}
