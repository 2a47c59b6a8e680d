#pragma once
// The system tests' view of the QuorbelService registration through the service manager: its
// status, its binary path, and starting, stopping and removing it. Each call opens and closes
// handles of its own.

#include <windows.h>

#include <string>

namespace testing_support {

constexpr const wchar_t* kTestServiceName = L"QuorbelService";

// Zeroed when the service is not registered or cannot be asked.
SERVICE_STATUS_PROCESS ServiceStatus(const wchar_t* serviceName = kTestServiceName);
// 0 when the service is not registered.
inline DWORD ServiceState(const wchar_t* serviceName = kTestServiceName)
{
    return ServiceStatus(serviceName).dwCurrentState;
}
inline bool IsServiceRegistered(const wchar_t* serviceName = kTestServiceName)
{
    return ServiceState(serviceName) != 0;
}
// Empty when it cannot be read.
std::wstring ServiceBinaryPath(const wchar_t* serviceName = kTestServiceName);
// Registers the service to be started on demand with the binary path, and starts it when asked;
// false with the failing call's error in *error.
bool CreateAndStartService(const std::wstring& binaryPath, bool start, DWORD* error,
                           const wchar_t* serviceName = kTestServiceName);
// Asks the service to stop; true once it reports STOPPED and its process has ended.
bool StopServiceAndWait(DWORD timeoutMs = 20000, const wchar_t* serviceName = kTestServiceName);
// Stops the service (ending its process when it will not stop) and deletes it; true once it is
// no longer registered.
bool RemoveService(const wchar_t* serviceName = kTestServiceName);

// Copies QuorbelService.exe, its companion and the stand-in wtsapi32.dll into the folder, and has
// every QuorbelService.exe load that DLL by Wine's per-executable override ("native", or
// "native,builtin" where one without the DLL beside it must still run), which a service started
// by services.exe heeds. False when a file could not be copied.
bool PutServiceFiles(const std::wstring& folder, const wchar_t* wtsOverride = L"native");
// Takes the override away again.
void RemoveServiceOverride();

}  // namespace testing_support
