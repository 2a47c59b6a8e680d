// Registration of the service with the service control manager: install, remove, start, stop.

#include "common/ScopedHandle.h"
#include "service/CWindowService.h"
#include "service/ServiceFailureActions.h"

namespace {

constexpr DWORD kServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
constexpr DWORD kStopPollMs = 1000;

static_assert(kServiceType == 0x110, "own process, interacting with the desktop");

ScopedServiceHandle OpenServiceManager()
{
    return ScopedServiceHandle(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

ScopedServiceHandle OpenExistingService(const ScopedServiceHandle& manager,
                                        const XStringW& serviceName)
{
    return ScopedServiceHandle(
        ::OpenServiceW(manager.Get(), serviceName.GetString(), SERVICE_ALL_ACCESS));
}

// The registration of serviceName; null when the manager or the service cannot be opened. The
// manager is closed again before the service is used.
ScopedServiceHandle OpenServiceByName(const XStringW& serviceName)
{
    const ScopedServiceHandle manager = OpenServiceManager();
    if (!manager) {
        return ScopedServiceHandle();
    }
    return OpenExistingService(manager, serviceName);
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

DWORD QueryState(const ScopedServiceHandle& service)
{
    SERVICE_STATUS status = {};
    if (!::QueryServiceStatus(service.Get(), &status)) {
        return kStateUnknown;
    }
    return status.dwCurrentState;
}

}  // namespace

bool CWindowService::Install(const XStringW& displayName, const XStringW& serviceName,
                             const XStringW& binaryPath)
{
    ScopedServiceHandle manager = OpenServiceManager();
    if (!manager) {
        return false;
    }
    const ScopedServiceHandle service =
        CreateRegisteredService(manager, serviceName, displayName, binaryPath);
    manager.Reset();
    // An existing registration is left exactly as it is, failure actions included.
    if (!service) {
        return false;
    }
    ServiceFailureActions failureActions;
    ::ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, failureActions.Get());
    return true;
}

bool CWindowService::Remove(const XStringW& serviceName)
{
    const ScopedServiceHandle service = OpenServiceByName(serviceName);
    if (!service) {
        return false;
    }
    // A running service is only marked for deletion; it goes when it stops.
    return ::DeleteService(service.Get()) != FALSE;
}

bool CWindowService::Start(const XStringW& serviceName, const XStringW& displayName,
                           const XStringW& binaryPath)
{
    ScopedServiceHandle manager = OpenServiceManager();
    if (!manager) {
        return false;
    }
    ScopedServiceHandle service = OpenExistingService(manager, serviceName);
    if (!service) {
        // Created without failure actions: only an install sets those.
        service = CreateRegisteredService(manager, serviceName, displayName, binaryPath);
    }
    manager.Reset();
    if (!service) {
        return false;
    }
    // A running, starting or stopping service is left alone.
    if (QueryState(service) != SERVICE_STOPPED) {
        return false;
    }
    // Does not wait for the service to report running.
    return ::StartServiceW(service.Get(), 0, nullptr) != FALSE;
}

bool CWindowService::Stop(const XStringW& serviceName)
{
    const ScopedServiceHandle service = OpenServiceByName(serviceName);
    if (!service) {
        return false;
    }
    const DWORD state = QueryState(service);
    if (state == kStateUnknown || state == SERVICE_STOPPED) {
        return false;
    }
    SERVICE_STATUS status = {};
    if (!::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) {
        return false;
    }
    if (QueryState(service) == SERVICE_STOPPED) {
        return true;
    }
    // No limit on the rounds: the command returns once the service has stopped, or when the
    // manager can no longer tell its state.
    for (;;) {
        ::Sleep(kStopPollMs);
        const DWORD current = QueryState(service);
        if (current == kStateUnknown) {
            return false;
        }
        if (current == SERVICE_STOPPED) {
            return true;
        }
    }
}
