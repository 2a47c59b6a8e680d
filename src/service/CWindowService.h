#pragma once
// Service control: registration with the service control manager, the service main function and
// its control handler, and the launch of a program in the logged-on user's session.

#include <windows.h>

#include "common/ScopedHandle.h"
#include "strings/XStringW.h"

class CWindowServiceThread;
class UserLogon;

// What the service manager tells about one service.
struct ServiceQuery {
    bool installed = false;
    DWORD state = 0;  // a SERVICE_* state; 0 while not installed
    XStringW binaryPath;
    bool markedForRemoval = false;  // deleted while it runs: it goes once it has stopped
    DWORD processId = 0;  // the service's process while it starts or runs, 0 otherwise
};

// The step of an install that failed.
enum class InstallStep { kCreate, kFailureActions, kDescription };

// The manager's configuration call, a seam for in-process tests of the install's failure paths.
namespace service_config {
using ChangeConfig2Function = BOOL(WINAPI*)(SC_HANDLE service, DWORD infoLevel, LPVOID info);
extern ChangeConfig2Function changeServiceConfig2;
}  // namespace service_config

class CWindowService {
public:
    // How long Stop waits for the stopped state before it gives up.
    static constexpr DWORD kStopTimeoutMs = 30000;
    // The console every program is started through, and what it reports once the service ended it.
    static constexpr const wchar_t* kConsoleImageName = L"cmd.exe";
    static constexpr UINT kEndedConsoleExitCode = 1;

    // Registration; each opens the manager, does its work and releases every handle. On false,
    // *error (when given) holds the reason as a system error code: ERROR_SERVICE_EXISTS,
    // ERROR_SERVICE_DOES_NOT_EXIST, ERROR_SERVICE_ALREADY_RUNNING (Start of a service that is
    // not stopped), ERROR_SERVICE_NOT_ACTIVE (Stop of a stopped service),
    // ERROR_SERVICE_REQUEST_TIMEOUT (Stop gave up waiting), or the failed call's own error.
    // Creates the registration, then sets its failure actions and its description. When either
    // of those fails, the registration just made is deleted again, so that nothing half-made
    // stays behind and a later install starts afresh; *failedStep tells which step failed and
    // *removedAgain whether the deletion worked.
    static bool Install(const XStringW& displayName, const XStringW& serviceName,
                        const XStringW& binaryPath, const XStringW& description,
                        DWORD* error = nullptr, InstallStep* failedStep = nullptr,
                        bool* removedAgain = nullptr);
    static bool Remove(const XStringW& serviceName, DWORD* error = nullptr);
    static bool Start(const XStringW& serviceName, const XStringW& displayName,
                      const XStringW& binaryPath, DWORD* error = nullptr);
    static bool Stop(const XStringW& serviceName, DWORD* error = nullptr);
    // Asks with query rights only. False when the manager could not answer; a service that is
    // not registered is an answer (installed false).
    static bool Query(const XStringW& serviceName, ServiceQuery& query, DWORD* error = nullptr);
    // The process the service runs in, as the manager reports it; 0 when it does not run or the
    // manager cannot tell (asks with SERVICE_QUERY_STATUS only, which any user has).
    static DWORD RunningProcessId(const XStringW& serviceName);

    // The dispatcher's service main and the extended control handler.
    static void WINAPI serviceMainEx(DWORD argc, LPWSTR* argv);
    static DWORD WINAPI serviceHandlerEx(DWORD control, DWORD eventType, LPVOID eventData,
                                         LPVOID context);
    static void ReportStatus(DWORD state, DWORD controlsAccepted);
    // The state last reported to the service manager.
    static DWORD CurrentState();

    // Starts "cmd.exe /c \"\"<path>\" <arguments>\"" in the logon's session with its user's
    // token and environment, in the directory (the program's own folder when it is empty; %NAME%
    // is expanded in it with the user's environment). Returns the console's process id, or 0 when
    // nothing was started, with the reason as the thread's last error; a launch that failed with
    // the logon's token is noted in the logon. console, when given, receives the console's
    // process handle. Launches with one logon may run on several threads at once.
    static DWORD RunAdminProcessByLogonSession(UserLogon& logon, const XStringW& path,
                                               const XStringW& arguments,
                                               const XStringW& directory, ScopedHandle* console);
    // %NAME% in the text expanded as the environment of the logon's user has it; false with
    // the thread's last error when the logon is not open or the expansion failed.
    static bool ExpandForLogonUser(const UserLogon& logon, const XStringW& text,
                                   XStringW& expanded);

    // What the logon launch starts: the console twin beside the module (same name, ".com"),
    // which runs as invoked, so that the user's own token may start it; the module itself only
    // when no twin lies beside it. The module demands elevation, which a user's token started
    // at logon does not have.
    static XStringW LogonLaunchPath();

    static XStringW modulePath;
    static CWindowServiceThread* serviceThread;
};
