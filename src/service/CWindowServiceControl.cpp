// Registration of the service with the service control manager: install, remove, start, stop,
// and the status query.

#include <vector>

#include "common/ScopedHandle.h"
#include "service/CWindowService.h"
#include "service/ServiceFailureActions.h"
#include "trace/Trace.h"

namespace {

constexpr DWORD kServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
constexpr DWORD kStopPollMs = 1000;

static_assert(kServiceType == 0x110, "own process, interacting with the desktop");

// Stores the reason of a failure for the caller; always false, so that it can be returned.
bool Failed(DWORD* error, DWORD code)
{
    if (error != nullptr) {
        *error = code;
    }
    return false;
}

// The last error of the call that just failed, taken before any handle is closed.
bool FailedWithLastError(DWORD* error)
{
    return Failed(error, ::GetLastError());
}

ScopedServiceHandle OpenServiceManager(DWORD access = SC_MANAGER_ALL_ACCESS)
{
    return ScopedServiceHandle(::OpenSCManagerW(nullptr, nullptr, access));
}

ScopedServiceHandle OpenExistingService(const ScopedServiceHandle& manager,
                                        const XStringW& serviceName,
                                        DWORD access = SERVICE_ALL_ACCESS)
{
    return ScopedServiceHandle(::OpenServiceW(manager.Get(), serviceName.GetString(), access));
}

// The registration of serviceName; null when the manager or the service cannot be opened, with
// the reason in *error. The manager is closed again before the service is used.
ScopedServiceHandle OpenServiceByName(const XStringW& serviceName, DWORD* error)
{
    const ScopedServiceHandle manager = OpenServiceManager();
    if (!manager) {
        FailedWithLastError(error);
        return ScopedServiceHandle();
    }
    ScopedServiceHandle service = OpenExistingService(manager, serviceName);
    if (!service) {
        FailedWithLastError(error);
    }
    return service;
}

// Automatic start, normal error control, no group or dependencies; with no account the service
// runs as LocalSystem.
ScopedServiceHandle CreateRegisteredService(const ScopedServiceHandle& manager,
                                            const XStringW& serviceName,
                                            const XStringW& displayName,
                                            const XStringW& binaryPath)
{
    return ScopedServiceHandle(::CreateServiceW(
        manager.Get(), serviceName.GetString(), displayName.GetString(), SERVICE_ALL_ACCESS,
        kServiceType, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binaryPath.GetString(), nullptr,
        nullptr, nullptr, nullptr, nullptr));
}

// Service states start at SERVICE_STOPPED (1), so 0 is free to stand for a failed query.
constexpr DWORD kStateUnknown = 0;

DWORD QueryState(const ScopedServiceHandle& service, DWORD* processId = nullptr)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof(status), &needed)) {
        return kStateUnknown;
    }
    if (processId != nullptr) {
        *processId = status.dwProcessId;
    }
    return status.dwCurrentState;
}

// The registered command line; empty when the configuration cannot be read.
XStringW QueryBinaryPath(const ScopedServiceHandle& service)
{
    DWORD needed = 0;
    ::QueryServiceConfigW(service.Get(), nullptr, 0, &needed);
    if (needed == 0) {
        return XStringW();
    }
    // Held as pointers so that the record's alignment is that of its own fields.
    std::vector<void*> buffer(needed / sizeof(void*) + 1);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    const DWORD bufferBytes = static_cast<DWORD>(buffer.size() * sizeof(void*));
    if (!::QueryServiceConfigW(service.Get(), config, bufferBytes, &needed) ||
        config->lpBinaryPathName == nullptr) {
        return XStringW();
    }
    return XStringW(config->lpBinaryPathName);
}

// Polls once a second until the service reports stopped, its state can no longer be read, or
// the time is up.
bool WaitForStopped(const ScopedServiceHandle& service, const XStringW& serviceName,
                    DWORD* error)
{
    const ULONGLONG deadline = ::GetTickCount64() + CWindowService::kStopTimeoutMs;
    for (;;) {
        ::Sleep(kStopPollMs);
        const DWORD current = QueryState(service);
        if (current == kStateUnknown) {
            return FailedWithLastError(error);
        }
        if (current == SERVICE_STOPPED) {
            return true;
        }
        if (::GetTickCount64() >= deadline) {
            TraceError("CWindowService::Stop", __LINE__, L"%@ did not stop within %u ms (state %u)",
                       serviceName, CWindowService::kStopTimeoutMs, current);
            return Failed(error, ERROR_SERVICE_REQUEST_TIMEOUT);
        }
    }
}

// After a failed configuration step: the registration was made by this install and has never
// run, so deleting it removes it at once. Keeps the step's error for the caller.
bool RemoveHalfMadeRegistration(const ScopedServiceHandle& service, const XStringW& serviceName,
                                DWORD* error, bool* removedAgain)
{
    const DWORD stepError = ::GetLastError();
    TraceError("CWindowService::Install", __LINE__, L"configuring %@ failed (error %u)",
               serviceName, stepError);
    const bool removed = ::DeleteService(service.Get()) != FALSE;
    if (!removed) {
        TraceError("CWindowService::Install", __LINE__,
                   L"DeleteService of the half-made %@ failed (error %u)", serviceName,
                   ::GetLastError());
    }
    if (removedAgain != nullptr) {
        *removedAgain = removed;
    }
    return Failed(error, stepError);
}

// Whether the service was deleted while it runs. A configuration call that changes nothing
// answers ERROR_SERVICE_MARKED_FOR_DELETE then, on Windows and under Wine alike (Wine keeps no
// DeleteFlag value in the registry). Without the right to change the configuration the answer
// is "not marked".
bool IsMarkedForRemoval(const ScopedServiceHandle& manager, const XStringW& serviceName)
{
    const ScopedServiceHandle service =
        OpenExistingService(manager, serviceName, SERVICE_CHANGE_CONFIG);
    if (!service) {
        return ::GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
    }
    return !::ChangeServiceConfigW(service.Get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                   SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr) &&
           ::GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
}

}  // namespace

namespace service_config {
ChangeConfig2Function changeServiceConfig2 = ::ChangeServiceConfig2W;
}  // namespace service_config

bool CWindowService::Install(const XStringW& displayName, const XStringW& serviceName,
                             const XStringW& binaryPath, const XStringW& description,
                             DWORD* error, InstallStep* failedStep, bool* removedAgain)
{
    const auto failAt = [&](InstallStep step) {
        if (failedStep != nullptr) {
            *failedStep = step;
        }
    };
    failAt(InstallStep::kCreate);
    ScopedServiceHandle manager = OpenServiceManager();
    if (!manager) {
        return FailedWithLastError(error);
    }
    const ScopedServiceHandle service =
        CreateRegisteredService(manager, serviceName, displayName, binaryPath);
    const DWORD createError = ::GetLastError();
    manager.Reset();
    // An existing registration is left exactly as it is, failure actions included.
    if (!service) {
        return Failed(error, createError);
    }
    ServiceFailureActions failureActions;
    if (!service_config::changeServiceConfig2(service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS,
                                              failureActions.Get())) {
        failAt(InstallStep::kFailureActions);
        return RemoveHalfMadeRegistration(service, serviceName, error, removedAgain);
    }
    std::vector<wchar_t> descriptionText(description.GetString(),
                                         description.GetString() + description.GetLength() + 1);
    SERVICE_DESCRIPTIONW descriptionRecord = {descriptionText.data()};
    if (!service_config::changeServiceConfig2(service.Get(), SERVICE_CONFIG_DESCRIPTION,
                                              &descriptionRecord)) {
        failAt(InstallStep::kDescription);
        return RemoveHalfMadeRegistration(service, serviceName, error, removedAgain);
    }
    return true;
}

bool CWindowService::Remove(const XStringW& serviceName, DWORD* error)
{
    const ScopedServiceHandle service = OpenServiceByName(serviceName, error);
    if (!service) {
        return false;
    }
    // A running service is only marked for deletion; it goes when it stops.
    if (!::DeleteService(service.Get())) {
        return FailedWithLastError(error);
    }
    return true;
}

bool CWindowService::Start(const XStringW& serviceName, const XStringW& displayName,
                           const XStringW& binaryPath, DWORD* error)
{
    ScopedServiceHandle manager = OpenServiceManager();
    if (!manager) {
        return FailedWithLastError(error);
    }
    ScopedServiceHandle service = OpenExistingService(manager, serviceName);
    if (!service) {
        // Created without failure actions: only an install sets those.
        service = CreateRegisteredService(manager, serviceName, displayName, binaryPath);
    }
    const DWORD openError = ::GetLastError();
    manager.Reset();
    if (!service) {
        return Failed(error, openError);
    }
    // A running, starting or stopping service is left alone.
    const DWORD state = QueryState(service);
    if (state == kStateUnknown) {
        return FailedWithLastError(error);
    }
    if (state != SERVICE_STOPPED) {
        return Failed(error, ERROR_SERVICE_ALREADY_RUNNING);
    }
    // Does not wait for the service to report running.
    if (!::StartServiceW(service.Get(), 0, nullptr)) {
        return FailedWithLastError(error);
    }
    return true;
}

bool CWindowService::Stop(const XStringW& serviceName, DWORD* error)
{
    const ScopedServiceHandle service = OpenServiceByName(serviceName, error);
    if (!service) {
        return false;
    }
    const DWORD state = QueryState(service);
    if (state == kStateUnknown) {
        return FailedWithLastError(error);
    }
    if (state == SERVICE_STOPPED) {
        return Failed(error, ERROR_SERVICE_NOT_ACTIVE);
    }
    SERVICE_STATUS status = {};
    if (!::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) {
        return FailedWithLastError(error);
    }
    if (QueryState(service) == SERVICE_STOPPED) {
        return true;
    }
    // Bounded, so that a service that hangs in its stop cannot hang the command as well.
    return WaitForStopped(service, serviceName, error);
}

DWORD CWindowService::RunningProcessId(const XStringW& serviceName)
{
    const ScopedServiceHandle manager = OpenServiceManager(SC_MANAGER_CONNECT);
    const ScopedServiceHandle service =
        manager ? OpenExistingService(manager, serviceName, SERVICE_QUERY_STATUS)
                : ScopedServiceHandle();
    SERVICE_STATUS_PROCESS status = {};
    DWORD size = 0;
    if (!service || !::QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                                            reinterpret_cast<BYTE*>(&status), sizeof(status),
                                            &size)) {
        return 0;
    }
    return status.dwCurrentState == SERVICE_RUNNING ? status.dwProcessId : 0;
}

bool CWindowService::Query(const XStringW& serviceName, ServiceQuery& query, DWORD* error)
{
    query = ServiceQuery();
    const ScopedServiceHandle manager = OpenServiceManager(SC_MANAGER_CONNECT);
    if (!manager) {
        return FailedWithLastError(error);
    }
    const ScopedServiceHandle service =
        OpenExistingService(manager, serviceName, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (!service) {
        const DWORD openError = ::GetLastError();
        if (openError == ERROR_SERVICE_MARKED_FOR_DELETE) {
            query.installed = true;
            query.markedForRemoval = true;
            return true;
        }
        return openError == ERROR_SERVICE_DOES_NOT_EXIST ? true : Failed(error, openError);
    }
    query.state = QueryState(service, &query.processId);
    if (query.state == kStateUnknown) {
        return FailedWithLastError(error);
    }
    query.installed = true;
    query.binaryPath = QueryBinaryPath(service);
    query.markedForRemoval = IsMarkedForRemoval(manager, serviceName);
    return true;
}
