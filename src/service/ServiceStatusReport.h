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

constexpr DWORD kServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;  // 0x110
constexpr DWORD kAcceptedControls =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SESSIONCHANGE;  // 0x83

}  // namespace service_status
