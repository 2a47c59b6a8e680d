#pragma once
// The one place where the service's status reports leave the process, and where its handler is
// registered. Tests of the control handler and the service main replace both functions to see
// the reports without a service control manager.

#include <windows.h>

namespace service_status {

using SetStatusFunction = BOOL(WINAPI*)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);

// ::SetServiceStatus unless a test put its own recorder here.
extern SetStatusFunction setServiceStatus;

using RegisterHandlerFunction = SERVICE_STATUS_HANDLE(WINAPI*)(LPCWSTR, LPHANDLER_FUNCTION_EX,
                                                               LPVOID);
// ::RegisterServiceCtrlHandlerExW unless a test runs the service main outside the manager.
extern RegisterHandlerFunction registerHandler;

// The service's status as the service manager was last told it. Every report goes through here,
// under one lock, so that check points leave in the order they were counted; once
// SERVICE_STOPPED is out, every later report is refused until the next run opens the reporter.
class StatusReporter {
public:
    // A new run of the service: reports go to the handle, starting from no state.
    void Open(SERVICE_STATUS_HANDLE handle);
    // Sends the state; a stop pending report carries the next check point. False when refused.
    bool Report(DWORD state, DWORD controlsAccepted, DWORD exitCode = NO_ERROR);
    // Sends the current state again: while stopping with no controls and the next check point,
    // otherwise with acceptedControls. False when refused or nothing was reported yet.
    bool ReportAgain(DWORD acceptedControls);
    DWORD CurrentState() const;

private:
    bool SendLocked(DWORD state, DWORD controlsAccepted, DWORD exitCode);

    mutable SRWLOCK lock = SRWLOCK_INIT;
    SERVICE_STATUS_HANDLE handle = nullptr;
    DWORD currentState = 0;  // 0 until the first report
    DWORD checkPoint = 0;
};

// The process-wide reporter (one service per process).
StatusReporter& GetStatusReporter();

constexpr DWORD kServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;  // 0x110
constexpr DWORD kAcceptedControls =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SESSIONCHANGE;  // 0x83

}  // namespace service_status
