#include "ServiceControl.h"

#include <vector>

#include "TestSupport.h"
#include "common/ScopedHandle.h"

namespace testing_support {

namespace {
constexpr wchar_t kOverrideKey[] = L"Software\\Wine\\AppDefaults\\QuorbelService.exe";

ScopedServiceHandle OpenTestService(DWORD access, const wchar_t* serviceName = kTestServiceName)
{
    const ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return ScopedServiceHandle(manager ? OpenServiceW(manager.Get(), serviceName, access) : nullptr);
}
}  // namespace

SERVICE_STATUS_PROCESS ServiceStatus(const wchar_t* serviceName)
{
    SERVICE_STATUS_PROCESS status{};
    const ScopedServiceHandle service = OpenTestService(SERVICE_QUERY_STATUS, serviceName);
    DWORD needed = 0;
    if (!service || !QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO,
                                          reinterpret_cast<BYTE*>(&status), sizeof(status),
                                          &needed)) {
        status = SERVICE_STATUS_PROCESS{};
    }
    return status;
}

std::wstring ServiceBinaryPath(const wchar_t* serviceName)
{
    const ScopedServiceHandle service = OpenTestService(SERVICE_QUERY_CONFIG, serviceName);
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* const config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!service || !QueryServiceConfigW(service.Get(), config, static_cast<DWORD>(buffer.size()),
                                         &needed) ||
        config->lpBinaryPathName == nullptr) {
        return {};
    }
    return config->lpBinaryPathName;
}

bool CreateAndStartService(const std::wstring& binaryPath, bool start, DWORD* error,
                           const wchar_t* serviceName)
{
    const ScopedServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScopedServiceHandle service(
        manager ? CreateServiceW(manager.Get(), serviceName, L"Quorbel Service Monitor",
                                 SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binaryPath.c_str(),
                                 nullptr, nullptr, nullptr, nullptr, nullptr)
                : nullptr);
    // Started again after a stop: the registration is there already.
    if (manager && !service && GetLastError() == ERROR_SERVICE_EXISTS) {
        service = ScopedServiceHandle(OpenServiceW(manager.Get(), serviceName, SERVICE_ALL_ACCESS));
    }
    const bool done = service && (!start || StartServiceW(service.Get(), 0, nullptr));
    *error = done ? ERROR_SUCCESS : GetLastError();
    return done;
}

bool StopServiceAndWait(DWORD timeoutMs, const wchar_t* serviceName)
{
    const DWORD processId = ServiceStatus(serviceName).dwProcessId;
    const ScopedServiceHandle service = OpenTestService(SERVICE_STOP, serviceName);
    SERVICE_STATUS status{};
    if (service) {
        ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
    }
    return WaitUntil([&] { return ServiceState(serviceName) == SERVICE_STOPPED; }, timeoutMs, 50) &&
           (processId == 0 || WaitUntil([&] { return !IsProcessAlive(processId); }, 10000, 50));
}

bool RemoveService(const wchar_t* serviceName)
{
    const DWORD processId = ServiceStatus(serviceName).dwProcessId;
    const DWORD state = ServiceState(serviceName);
    if (state != 0 && state != SERVICE_STOPPED && !StopServiceAndWait(10000, serviceName) &&
        processId != 0) {
        TerminateById(processId);
    }
    {
        // Closed before the wait: the registration goes with the last handle to it.
        const ScopedServiceHandle service = OpenTestService(DELETE, serviceName);
        if (service) {
            DeleteService(service.Get());
        }
    }
    return WaitUntil([&] { return !IsServiceRegistered(serviceName); }, 10000, 50);
}

bool PutServiceFiles(const std::wstring& folder, const wchar_t* wtsOverride)
{
    SetString(std::wstring(kOverrideKey) + L"\\DllOverrides", L"wtsapi32", wtsOverride);
    const std::wstring dist = QUORBEL_DIST_DIR;
    return CopyInto(dist + L"\\QuorbelService.exe", folder + L"\\QuorbelService.exe") &&
           CopyInto(dist + L"\\QuorbelServiceManager.exe", folder + L"\\QuorbelServiceManager.exe") &&
           CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\wtsapi32.dll", folder + L"\\wtsapi32.dll");
}

void RemoveServiceOverride()
{
    RegDeleteTreeW(HKEY_CURRENT_USER, kOverrideKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, kOverrideKey);
}

}  // namespace testing_support
