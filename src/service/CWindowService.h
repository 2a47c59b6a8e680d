#pragma once
// Service control: registration with the service control manager, the service main function and
// its control handler, and the launch of a program in the logged-on user's session.

#include <windows.h>

#include "common/ScopedHandle.h"
#include "strings/XStringW.h"

class CWindowServiceThread;

// What the service manager tells about one service.
struct ServiceQuery {
    bool installed = false;
    DWORD state = 0;  // a SERVICE_* state; 0 while not installed
    XStringW binaryPath;
};

class CWindowService {
public:
    // How long Stop waits for the stopped state before it gives up.
    static constexpr DWORD kStopTimeoutMs = 30000;

    // Registration; each opens the manager, does its work and releases every handle. On false,
    // *error (when given) holds the reason as a system error code: ERROR_SERVICE_EXISTS,
    // ERROR_SERVICE_DOES_NOT_EXIST, ERROR_SERVICE_ALREADY_RUNNING (Start of a service that is
    // not stopped), ERROR_SERVICE_NOT_ACTIVE (Stop of a stopped service),
    // ERROR_SERVICE_REQUEST_TIMEOUT (Stop gave up waiting), or the failed call's own error.
    static bool Install(const XStringW& displayName, const XStringW& serviceName,
                        const XStringW& binaryPath, DWORD* error = nullptr);
    static bool Remove(const XStringW& serviceName, DWORD* error = nullptr);
    static bool Start(const XStringW& serviceName, const XStringW& displayName,
                      const XStringW& binaryPath, DWORD* error = nullptr);
    static bool Stop(const XStringW& serviceName, DWORD* error = nullptr);
    // Asks with query rights only. False when the manager could not answer; a service that is
    // not registered is an answer (installed false).
    static bool Query(const XStringW& serviceName, ServiceQuery& query, DWORD* error = nullptr);

    // The dispatcher's service main and the extended control handler.
    static void WINAPI serviceMainEx(DWORD argc, LPWSTR* argv);
    static DWORD WINAPI serviceHandlerEx(DWORD control, DWORD eventType, LPVOID eventData,
                                         LPVOID context);
    static void ReportStatus(DWORD state, DWORD controlsAccepted);

    // Starts "cmd.exe /c \"\"<path>\"\"" in the active session as its user; returns the console's
    // process id, or 0 when nothing was started.
    static DWORD RunAdminProcessByLogonSession(const XStringW& path);
    // The same start; console, when given, receives the console's process handle (terminate,
    // synchronize and limited query rights), so that the console can be ended later without
    // asking for its id again, which by then may name another process.
    static DWORD RunAdminProcessByLogonSession(const XStringW& path, const XStringW& arguments,
                                               const XStringW& directory, ScopedHandle* console);

    static XStringW modulePath;
    static SERVICE_STATUS_HANDLE statusHandle;
    static DWORD currentState;
    static CWindowServiceThread* serviceThread;
};
