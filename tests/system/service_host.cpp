// The real service under Wine's service control manager: a copy of QuorbelService.exe in a
// scratch folder, registered straight from the test, started, controlled and stopped. Wine runs
// the service in the test's own session, so no command-line copy of the same file name may run
// meanwhile (it would share the single-instance event); nothing here starts one.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "ServiceControl.h"
#include "TestSupport.h"
#include "common/ScopedHandle.h"

using namespace testing_support;

namespace {

const wchar_t kServiceName[] = L"QuorbelServiceHostTest";
constexpr DWORD kServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
constexpr DWORD kAccepted = 0x83;

bool ReachesState(DWORD state, DWORD timeoutMs)
{
    return WaitUntil([&] { return ServiceState(kServiceName) == state; }, timeoutMs);
}

// The service's files in a folder of their own, with the stand-in terminal-services DLL beside
// the executable and the override that makes services.exe's child load it.
class ServiceFiles {
public:
    ServiceFiles() : folder(L"service_host")
    {
        // Another QuorbelService.exe without the DLL beside it still runs.
        copied = PutServiceFiles(folder.Path(), L"native,builtin");
    }
    ~ServiceFiles()
    {
        RemoveServiceOverride();
        TerminateAllByName(L"QuorbelServiceManager.exe");
    }
    ServiceFiles(const ServiceFiles&) = delete;
    ServiceFiles& operator=(const ServiceFiles&) = delete;

    std::wstring Executable() const { return folder / L"QuorbelService.exe"; }
    bool Copied() const { return copied; }

private:
    ScratchDir folder;
    bool copied = false;
};

// The registration, removed again in every case: stopped, its process ended, deleted.
class RegisteredService {
public:
    explicit RegisteredService(const std::wstring& executable)
        : manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS))
    {
        RemoveService(kServiceName);
        const std::wstring binaryPath = L"\"" + executable + L"\" service";
        service.Reset(CreateServiceW(manager.Get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                                     kServiceType, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                     binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        createError = service ? 0 : GetLastError();
    }
    ~RegisteredService()
    {
        service.Reset();
        RemoveService(kServiceName);
    }
    RegisteredService(const RegisteredService&) = delete;
    RegisteredService& operator=(const RegisteredService&) = delete;

    SC_HANDLE Get() const { return service.Get(); }
    DWORD CreateError() const { return createError; }

private:
    ScopedServiceHandle manager;
    ScopedServiceHandle service;
    DWORD createError = 0;
};

// The service's process, opened while it runs so that its exit code can be read after the stop.
ScopedHandle OpenServiceProcess()
{
    const DWORD processId = ServiceStatus(kServiceName).dwProcessId;
    return ScopedHandle(processId == 0 ? nullptr
                                       : OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                                                     FALSE, processId));
}

// Whether the process runs with the stand-in terminal-services DLL, which marks its processes
// with a named event.
bool UsesStandInSessions(DWORD processId)
{
    const std::wstring marker = L"QuorbelFakeWtsLoaded_" + std::to_wstring(processId);
    const ScopedHandle event(OpenEventW(SYNCHRONIZE, FALSE, marker.c_str()));
    return event.IsValid();
}

DWORD ExitCodeWithin(HANDLE process, DWORD timeoutMs)
{
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) {
        return STILL_ACTIVE;
    }
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process, &code);
    return code;
}

class ServiceHostTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(files.Copied()) << "the service's files could not be copied";
        ASSERT_TRUE(ProcessIdsByName(L"QuorbelService.exe").empty())
            << "another QuorbelService.exe runs in this session";
    }

    ServiceFiles files;
};

TEST_F(ServiceHostTest, RunsAnswersItsControlsAndStopsWithExitCodeZero)
{
    RegisteredService service(files.Executable());
    ASSERT_TRUE(service.Get() != nullptr) << "CreateServiceW error " << service.CreateError();

    ASSERT_TRUE(StartServiceW(service.Get(), 0, nullptr)) << "error " << GetLastError();
    ASSERT_TRUE(ReachesState(SERVICE_RUNNING, 15000))
        << "state " << ServiceStatus(kServiceName).dwCurrentState;
    const SERVICE_STATUS_PROCESS running = ServiceStatus(kServiceName);
    EXPECT_EQ(kAccepted, running.dwControlsAccepted);
    EXPECT_EQ(kServiceType, running.dwServiceType);
    ScopedHandle process = OpenServiceProcess();
    ASSERT_TRUE(process.IsValid()) << "process " << running.dwProcessId;
    EXPECT_TRUE(UsesStandInSessions(running.dwProcessId)) << "the override did not take effect";

    struct Control {
        const char* what;
        DWORD code;
    };
    const Control keepRunning[] = {{"pause", SERVICE_CONTROL_PAUSE},
                                   {"continue", SERVICE_CONTROL_CONTINUE},
                                   {"interrogate", SERVICE_CONTROL_INTERROGATE}};
    for (const Control& control : keepRunning) {
        SERVICE_STATUS answer{};
        ControlService(service.Get(), control.code, &answer);
        const SERVICE_STATUS_PROCESS after = ServiceStatus(kServiceName);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), after.dwCurrentState) << control.what;
        EXPECT_EQ(kAccepted, after.dwControlsAccepted) << control.what;
        EXPECT_EQ(running.dwProcessId, after.dwProcessId) << control.what;
    }

    SERVICE_STATUS answer{};
    EXPECT_TRUE(ControlService(service.Get(), SERVICE_CONTROL_STOP, &answer)) << "error " << GetLastError();
    EXPECT_TRUE(ReachesState(SERVICE_STOPPED, 10000))
        << "state " << ServiceStatus(kServiceName).dwCurrentState;
    EXPECT_EQ(0u, ExitCodeWithin(process.Get(), 10000));
}

// The stop may reach the handler before the service thread exists; the window is short, so the
// start and stop are repeated (in-process tests cover the ordering itself deterministically).
TEST_F(ServiceHostTest, StopSentAtOnceAfterTheStartStillStopsTheService)
{
    RegisteredService service(files.Executable());
    ASSERT_TRUE(service.Get() != nullptr) << "CreateServiceW error " << service.CreateError();

    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_TRUE(StartServiceW(service.Get(), 0, nullptr)) << "error " << GetLastError();
        ScopedHandle process = OpenServiceProcess();

        // Until the service takes controls, the manager answers "cannot accept"; the stop is
        // sent again at once until it is taken. Any other refusal is a failure.
        DWORD stopError = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
        const ULONGLONG deadline = GetTickCount64() + 10000;
        while (stopError == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && GetTickCount64() < deadline) {
            SERVICE_STATUS answer{};
            stopError = ControlService(service.Get(), SERVICE_CONTROL_STOP, &answer)
                            ? ERROR_SUCCESS
                            : GetLastError();
        }
        ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), stopError) << "the stop was not taken";

        ASSERT_TRUE(ReachesState(SERVICE_STOPPED, 10000))
            << "state " << ServiceStatus(kServiceName).dwCurrentState;
        if (process) {
            EXPECT_EQ(0u, ExitCodeWithin(process.Get(), 10000));
        }
    }
}

}  // namespace
