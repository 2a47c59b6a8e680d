#include "service/CWindowService.h"

#include <wtsapi32.h>

#include "paths/ModulePaths.h"
#include "service/CWindowServiceThread.h"
#include "service/ServiceStatusReport.h"
#include "service/UserLogon.h"
#include "trace/EventLog.h"
#include "trace/Trace.h"

namespace service_status {
SetStatusFunction setServiceStatus = ::SetServiceStatus;
RegisterHandlerFunction registerHandler = ::RegisterServiceCtrlHandlerExW;
}

XStringW CWindowService::modulePath;
CWindowServiceThread* CWindowService::serviceThread = nullptr;

namespace {
using service_status::kAcceptedControls;

// How long the console that carried the executable into a new logon session may live.
constexpr DWORD kLogonLaunchSettleMs = 500;
// While the watch thread ends, stop pending is reported again this often with a higher check
// point, each report promising the next within the wait hint.
constexpr DWORD kStopProgressMs = 1000;
constexpr DWORD kStopWaitHintMs = 3000;


bool IsStopping()
{
    const DWORD state = CWindowService::CurrentState();
    return state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED;
}

// Starts the executable without arguments in the session that was logged on to, as its user;
// only the console that carried it is ended. It is ended through the handle it was started with,
// never by its id: a console that ended by itself may have left its id to an unrelated process.
void LaunchInLogonSession(DWORD sessionId)
{
    UserLogon logon;
    if (!logon.Open(sessionId)) {
        return;
    }
    ScopedHandle console;
    const DWORD consoleId = CWindowService::RunAdminProcessByLogonSession(
        logon, CWindowService::LogonLaunchPath(), XStringW(), XStringW(), &console);
    if (!console) {
        return;
    }
    if (::WaitForSingleObject(console.Get(), kLogonLaunchSettleMs) == WAIT_TIMEOUT &&
        !::TerminateProcess(console.Get(), CWindowService::kEndedConsoleExitCode)) {
        TraceError("CWindowService::serviceHandlerEx", __LINE__,
                   L"console %d of the logon launch not ended, error %d", consoleId,
                   ::GetLastError());
    }
}
}  // namespace

XStringW CWindowService::LogonLaunchPath()
{
    const XStringW twin = WithExtension(modulePath, L".com");
    const DWORD attributes = ::GetFileAttributesW(twin.GetString());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        TraceError("CWindowService::LogonLaunchPath", __LINE__,
                   L"no console twin %@ (error %d): the logon launch starts %@", twin,
                   ::GetLastError(), modulePath);
        return modulePath;
    }
    return twin;
}

namespace service_status {

void StatusReporter::Open(SERVICE_STATUS_HANDLE statusHandle)
{
    const MutexLock guard(lock);
    handle = statusHandle;
    currentState = 0;
    checkPoint = 0;
}

bool StatusReporter::Report(DWORD state, DWORD controlsAccepted, DWORD exitCode)
{
    const MutexLock guard(lock);
    return SendLocked(state, controlsAccepted, exitCode);
}

bool StatusReporter::ReportAgain(DWORD acceptedControls)
{
    const MutexLock guard(lock);
    if (currentState == 0) {
        return false;
    }
    const DWORD controls = currentState == SERVICE_STOP_PENDING ? 0 : acceptedControls;
    return SendLocked(currentState, controls, NO_ERROR);
}

DWORD StatusReporter::CurrentState() const
{
    const MutexLock guard(lock);
    return currentState;
}

// The service manager must never hear of the service again once it was told it stopped: a late
// report would bring a stopped service back to life in its eyes.
bool StatusReporter::SendLocked(DWORD state, DWORD controlsAccepted, DWORD exitCode)
{
    if (currentState == SERVICE_STOPPED) {
        return false;
    }
    currentState = state;
    SERVICE_STATUS status{};
    status.dwServiceType = kServiceType;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controlsAccepted;
    status.dwWin32ExitCode = exitCode;
    if (state == SERVICE_STOP_PENDING) {
        status.dwCheckPoint = ++checkPoint;
        status.dwWaitHint = kStopWaitHintMs;
    } else {
        checkPoint = 0;
    }
    setServiceStatus(handle, &status);
    return true;
}

StatusReporter& GetStatusReporter()
{
    static StatusReporter reporter;
    return reporter;
}

}  // namespace service_status

void CWindowService::ReportStatus(DWORD state, DWORD controlsAccepted)
{
    service_status::GetStatusReporter().Report(state, controlsAccepted);
}

DWORD CWindowService::CurrentState()
{
    return service_status::GetStatusReporter().CurrentState();
}

void WINAPI CWindowService::serviceMainEx(DWORD, LPWSTR*)
{
    // The name is not checked for a service that has a process of its own.
    const SERVICE_STATUS_HANDLE statusHandle =
        service_status::registerHandler(L"", serviceHandlerEx, nullptr);
    if (statusHandle == nullptr) {
        return;
    }
    service_status::StatusReporter& reporter = service_status::GetStatusReporter();
    reporter.Open(statusHandle);
    reporter.Report(SERVICE_START_PENDING, kAcceptedControls);
    reporter.Report(SERVICE_RUNNING, kAcceptedControls);
    ReportServiceStarted();
    DWORD exitCode = NO_ERROR;
    if (serviceThread != nullptr) {
        exitCode = serviceThread->Start();
        while (!serviceThread->GetThread().WaitForEnd(kStopProgressMs)) {
            if (reporter.CurrentState() == SERVICE_STOP_PENDING) {
                reporter.Report(SERVICE_STOP_PENDING, 0);
            }
        }
        if (exitCode == NO_ERROR) {
            exitCode = serviceThread->StartError();
        }
    }
    // Before the stopped report: once that is out, the manager may end the process.
    ReportServiceStopped();
    reporter.Report(SERVICE_STOPPED, kAcceptedControls, exitCode);
}

DWORD WINAPI CWindowService::serviceHandlerEx(DWORD control, DWORD eventType, LPVOID eventData,
                                              LPVOID)
{
    // With the service running this ignores an interrogation (4 == SERVICE_RUNNING); while it
    // stops, a continue request (3 == SERVICE_STOP_PENDING).
    if (control == CurrentState()) {
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
        service_status::GetStatusReporter().ReportAgain(kAcceptedControls);
        break;
    }
    if (control != SERVICE_CONTROL_SESSIONCHANGE || IsStopping()) {
        return NO_ERROR;
    }
    // Whatever the change, the watch thread's user may be another one now.
    if (serviceThread != nullptr && serviceThread->sessionChangeFunc != nullptr) {
        serviceThread->sessionChangeFunc();
    }
    // The notification names the session that was logged on to.
    const auto* const notification = static_cast<const WTSSESSION_NOTIFICATION*>(eventData);
    if (eventType == WTS_SESSION_LOGON && notification != nullptr && !modulePath.IsEmpty()) {
        LaunchInLogonSession(notification->dwSessionId);
    }
    return NO_ERROR;
}
