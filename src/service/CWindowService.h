#pragma once
// Service control: registration with the service control manager, the service main function and
// its control handler, and the launch of a program in the logged-on user's session.

#include <windows.h>

#include "strings/XStringW.h"

class CWindowServiceThread;

class CWindowService {
public:
    // Registration; each opens the manager, does its work and releases every handle.
    static bool Install(const XStringW& displayName, const XStringW& serviceName,
                        const XStringW& binaryPath);
    static bool Remove(const XStringW& serviceName);
    static bool Start(const XStringW& serviceName, const XStringW& displayName,
                      const XStringW& binaryPath);
    static bool Stop(const XStringW& serviceName);

    // The dispatcher's service main and the extended control handler.
    static void WINAPI serviceMainEx(DWORD argc, LPWSTR* argv);
    static DWORD WINAPI serviceHandlerEx(DWORD control, DWORD eventType, LPVOID eventData,
                                         LPVOID context);
    static void ReportStatus(DWORD state, DWORD controlsAccepted);

    // Starts "cmd.exe /c \"\"<path>\"\"" in the active session as its user; returns the console's
    // process id, or 0 when nothing was started.
    static DWORD RunAdminProcessByLogonSession(const XStringW& path);

    static XStringW modulePath;
    static SERVICE_STATUS_HANDLE statusHandle;
    static DWORD currentState;
    static CWindowServiceThread* serviceThread;
};
