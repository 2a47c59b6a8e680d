#include "service/CWindowService.h"

#include <wtsapi32.h>

#include "service/CWindowServiceThread.h"
#include "service/ServiceStatusReport.h"
#include "process/CWinHelper.h"

namespace service_status {
SetStatusFunction setServiceStatus = ::SetServiceStatus;
RegisterHandlerFunction registerHandler = ::RegisterServiceCtrlHandlerExW;
}

XStringW CWindowService::modulePath;
SERVICE_STATUS_HANDLE CWindowService::statusHandle = nullptr;
DWORD CWindowService::currentState = 0;
CWindowServiceThread* CWindowService::serviceThread = nullptr;

namespace {
using service_status::kAcceptedControls;

// How long the console that carried the executable into a new logon session may live.
constexpr DWORD kLogonLaunchSettleMs = 500;
// While the watch thread ends, stop pending is reported again this often with a higher check
// point, each report promising the next within the wait hint.
constexpr DWORD kStopProgressMs = 1000;
constexpr DWORD kStopWaitHintMs = 3000;

// The check point of the stop pending reports; it rises with every one of them.
volatile LONG stopCheckPoint = 0;

// The current state is written by the service main and by the control handler, each on its own
// thread; the interlocked accesses keep the plain value safe to share.
DWORD LoadCurrentState()
{
    return static_cast<DWORD>(::InterlockedCompareExchange(
        reinterpret_cast<volatile LONG*>(&CWindowService::currentState), 0, 0));
}

void StoreCurrentState(DWORD state)
{
    ::InterlockedExchange(reinterpret_cast<volatile LONG*>(&CWindowService::currentState),
                          static_cast<LONG>(state));
}

bool IsStopping()
{
    const DWORD state = LoadCurrentState();
    return state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED;
}

// Starts the executable without arguments in the new user's session; only the console that
// carried it is ended.
void LaunchInLogonSession()
{
    const DWORD consoleId = CWindowService::RunAdminProcessByLogonSession(CWindowService::modulePath);
    ::Sleep(kLogonLaunchSettleMs);
    CWinHelper::KillProcess(consoleId);
}
}  // namespace

void CWindowService::ReportStatus(DWORD state, DWORD controlsAccepted)
{
    StoreCurrentState(state);
    SERVICE_STATUS status{};
    status.dwServiceType = service_status::kServiceType;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controlsAccepted;
    if (state == SERVICE_STOP_PENDING) {
        status.dwCheckPoint = static_cast<DWORD>(::InterlockedIncrement(&stopCheckPoint));
        status.dwWaitHint = kStopWaitHintMs;
    } else {
        ::InterlockedExchange(&stopCheckPoint, 0);
    }
    service_status::setServiceStatus(statusHandle, &status);
}

void WINAPI CWindowService::serviceMainEx(DWORD, LPWSTR*)
{
    // The name is not checked for a service that has a process of its own.
    statusHandle = service_status::registerHandler(L"", serviceHandlerEx, nullptr);
    if (statusHandle == nullptr) {
        return;
    }
    ReportStatus(SERVICE_START_PENDING, kAcceptedControls);
    ReportStatus(SERVICE_RUNNING, kAcceptedControls);
    if (serviceThread != nullptr) {
        serviceThread->Start();
        while (!serviceThread->GetThread().WaitForEnd(kStopProgressMs)) {
            if (LoadCurrentState() == SERVICE_STOP_PENDING) {
                ReportStatus(SERVICE_STOP_PENDING, 0);
            }
        }
    }
    ReportStatus(SERVICE_STOPPED, kAcceptedControls);
}

DWORD WINAPI CWindowService::serviceHandlerEx(DWORD control, DWORD eventType, LPVOID, LPVOID)
{
    // With the service running this ignores an interrogation (4 == SERVICE_RUNNING); while it
    // stops, a continue request (3 == SERVICE_STOP_PENDING).
    if (control == LoadCurrentState()) {
        return NO_ERROR;
    }
    switch (control) {
    case SERVICE_CONTROL_STOP:
        ReportStatus(SERVICE_STOP_PENDING, 0);
        if (serviceThread != nullptr) {
            serviceThread->Stop();
        }
        break;
    case SERVICE_CONTROL_PAUSE:
        break;
    case SERVICE_CONTROL_CONTINUE:
        ReportStatus(SERVICE_RUNNING, kAcceptedControls);
        break;
    default:
        // Once stopping, the service accepts no control and starts nothing in a new session.
        if (LoadCurrentState() == SERVICE_STOP_PENDING) {
            ReportStatus(SERVICE_STOP_PENDING, 0);
        } else {
            ReportStatus(LoadCurrentState(), kAcceptedControls);
        }
        break;
    }
    if (eventType == WTS_SESSION_LOGON && !modulePath.IsEmpty() && !IsStopping()) {
        LaunchInLogonSession();
    }
    if (control == SERVICE_CONTROL_SESSIONCHANGE && !IsStopping() && serviceThread != nullptr &&
        serviceThread->wakeFunc != nullptr) {
        serviceThread->wakeFunc();
    }
    return NO_ERROR;
}
