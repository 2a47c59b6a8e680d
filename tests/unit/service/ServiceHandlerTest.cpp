// The control handler, the service main and the service thread, in-process: status reports are
// caught before they reach the service control manager; the logon launch goes through the
// stand-in terminal-services DLL, whose one active session runs the fixture program.

#include <gtest/gtest.h>

#include <windows.h>
#include <wtsapi32.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "service/CWindowService.h"
#include "service/CWindowServiceThread.h"
#include "service/ServiceStatusReport.h"

using namespace testing_support;

namespace {

constexpr DWORD kAccepted = 0x83;

std::mutex reportsLock;
std::vector<SERVICE_STATUS> reports;

BOOL WINAPI RecordStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status)
{
    std::lock_guard<std::mutex> lock(reportsLock);
    reports.push_back(*status);
    return TRUE;
}

// A handler registration that always succeeds: a plain function, since the 32-bit build's
// WINAPI (stdcall) pointer takes no lambda.
SERVICE_STATUS_HANDLE WINAPI RegisterNothing(LPCWSTR, LPHANDLER_FUNCTION_EX, LPVOID)
{
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(1);
}

std::vector<SERVICE_STATUS> Reports()
{
    std::lock_guard<std::mutex> lock(reportsLock);
    return reports;
}

std::atomic<int> mainCalls{0};
std::atomic<int> endCalls{0};
DWORD CountMain()
{
    ++mainCalls;
    return NO_ERROR;
}
void CountEnd() { ++endCalls; }

std::string Describe(const std::vector<SERVICE_STATUS>& list)
{
    std::ostringstream text;
    for (const SERVICE_STATUS& status : list) {
        text << "{state " << status.dwCurrentState << ", controls 0x" << std::hex
             << status.dwControlsAccepted << std::dec << "} ";
    }
    return list.empty() ? "no report" : text.str();
}

class ServiceHandlerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        service_status::setServiceStatus = RecordStatus;
        serviceThread.mainFunc = CountMain;
        serviceThread.endFunc = CountEnd;
        CWindowService::serviceThread = &serviceThread;
        CWindowService::modulePath = L"";
        service_status::GetStatusReporter().Open(nullptr);
        CWindowService::ReportStatus(SERVICE_RUNNING, kAccepted);
        ClearReports();
        mainCalls = 0;
        endCalls = 0;
    }

    void TearDown() override
    {
        serviceThread.Stop();
        serviceThread.GetThread().Join();
        service_status::setServiceStatus = ::SetServiceStatus;
        service_status::registerHandler = ::RegisterServiceCtrlHandlerExW;
        CWindowService::serviceThread = nullptr;
        CWindowService::modulePath = L"";
        service_status::GetStatusReporter().Open(nullptr);
    }

    static void ClearReports()
    {
        std::lock_guard<std::mutex> lock(reportsLock);
        reports.clear();
    }

    bool StopEventSignalled() const
    {
        return WaitForSingleObject(serviceThread.stopEvent.Get(), 0) == WAIT_OBJECT_0;
    }

    CWindowServiceThread serviceThread;
};

struct ControlCase {
    const char* what;
    DWORD stateBefore;
    DWORD control;
    DWORD eventType;
    bool reports;  // one report of reportedState with reportedControls
    DWORD reportedState;
    DWORD reportedControls;
    bool stops;
};

TEST_F(ServiceHandlerTest, AnswersEachControlByItsCodeAndTheCurrentState)
{
    const ControlCase cases[] = {
        {"interrogate while running", SERVICE_RUNNING, SERVICE_CONTROL_INTERROGATE, 0, false, 0, 0, false},
        {"pause while running", SERVICE_RUNNING, SERVICE_CONTROL_PAUSE, 0, false, 0, 0, false},
        {"continue while running", SERVICE_RUNNING, SERVICE_CONTROL_CONTINUE, 0, true, SERVICE_RUNNING, kAccepted, false},
        {"stop while running", SERVICE_RUNNING, SERVICE_CONTROL_STOP, 0, true, SERVICE_STOP_PENDING, 0, true},
        {"continue while stopping", SERVICE_STOP_PENDING, SERVICE_CONTROL_CONTINUE, 0, false, 0, 0, false},
        {"interrogate while stopping", SERVICE_STOP_PENDING, SERVICE_CONTROL_INTERROGATE, 0, true, SERVICE_STOP_PENDING, 0, false},
        {"logon while stopping", SERVICE_STOP_PENDING, SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, true, SERVICE_STOP_PENDING, 0, false},
        {"second stop while stopping", SERVICE_STOP_PENDING, SERVICE_CONTROL_STOP, 0, true, SERVICE_STOP_PENDING, 0, true},
        {"remote connect", SERVICE_RUNNING, SERVICE_CONTROL_SESSIONCHANGE, WTS_REMOTE_CONNECT, true, SERVICE_RUNNING, kAccepted, false},
        {"logoff", SERVICE_RUNNING, SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGOFF, true, SERVICE_RUNNING, kAccepted, false},
        {"lock", SERVICE_RUNNING, SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK, true, SERVICE_RUNNING, kAccepted, false},
        {"unlock", SERVICE_RUNNING, SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_UNLOCK, true, SERVICE_RUNNING, kAccepted, false},
    };
    // A launch would take the handler at least half a second; none of these may launch.
    CWindowService::modulePath = L"C:\\QuorbelTests\\never\\started.exe";

    for (const ControlCase& c : cases) {
        SCOPED_TRACE(c.what);
        CWindowService::ReportStatus(c.stateBefore, kAccepted);
        ResetEvent(serviceThread.stopEvent.Get());
        serviceThread.stopRequested = false;
        ClearReports();

        const ULONGLONG before = GetTickCount64();
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR),
                  CWindowService::serviceHandlerEx(c.control, c.eventType, nullptr, nullptr));
        const ULONGLONG took = GetTickCount64() - before;

        const std::vector<SERVICE_STATUS> seen = Reports();
        if (c.reports) {
            ASSERT_EQ(1u, seen.size()) << Describe(seen);
            EXPECT_EQ(c.reportedState, seen[0].dwCurrentState);
            EXPECT_EQ(c.reportedControls, seen[0].dwControlsAccepted);
            EXPECT_EQ(0x110u, seen[0].dwServiceType);
            EXPECT_EQ(0u, seen[0].dwWin32ExitCode + seen[0].dwServiceSpecificExitCode);
            // Only a stop in progress promises its next report.
            const bool pending = c.reportedState == SERVICE_STOP_PENDING;
            EXPECT_EQ(pending, seen[0].dwCheckPoint > 0) << seen[0].dwCheckPoint;
            EXPECT_EQ(pending, seen[0].dwWaitHint > 0) << seen[0].dwWaitHint;
            EXPECT_EQ(c.reportedState, CWindowService::CurrentState());
        } else {
            EXPECT_TRUE(seen.empty()) << Describe(seen);
            EXPECT_EQ(c.stateBefore, CWindowService::CurrentState());
        }
        EXPECT_EQ(c.stops, StopEventSignalled());
        EXPECT_LT(took, 400u) << "the handler launched something";
    }
}

TEST_F(ServiceHandlerTest, StopEndsTheServiceThreadAfterItsEndFunction)
{
    serviceThread.Start();
    ASSERT_TRUE(WaitUntil([] { return mainCalls == 1; }, 5000));
    EXPECT_EQ(0, endCalls.load()) << "the service thread waits for the stop request";

    CWindowService::serviceHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);

    ASSERT_TRUE(WaitUntil([] { return endCalls == 1; }, 5000));
    serviceThread.GetThread().Join();
    EXPECT_EQ(1, mainCalls.load());
    EXPECT_EQ(1, endCalls.load());
}

TEST_F(ServiceHandlerTest, StopPendingIsReportedWithARisingCheckPointUntilTheServiceStops)
{
    // An end function that takes a while, as a watch pass that is being cut short: until the
    // second stop-pending report.
    serviceThread.endFunc = [] {
        WaitUntil(
            [] {
                const std::vector<SERVICE_STATUS> seen = Reports();
                return std::count_if(seen.begin(), seen.end(), [](const SERVICE_STATUS& status) {
                           return status.dwCurrentState == SERVICE_STOP_PENDING;
                       }) >= 2;
            },
            5000);
        ++endCalls;
    };
    service_status::registerHandler = RegisterNothing;
    std::thread serviceMain([] { CWindowService::serviceMainEx(0, nullptr); });
    ASSERT_TRUE(WaitUntil([] { return mainCalls == 1; }, 5000));
    CWindowService::serviceHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    serviceMain.join();

    std::vector<DWORD> checkPoints;
    for (const SERVICE_STATUS& status : Reports()) {
        if (status.dwCurrentState == SERVICE_STOP_PENDING) {
            EXPECT_EQ(0u, status.dwControlsAccepted);
            checkPoints.push_back(status.dwCheckPoint);
        }
    }
    ASSERT_GE(checkPoints.size(), 2u) << Describe(Reports());
    for (size_t i = 1; i < checkPoints.size(); ++i) {
        EXPECT_GT(checkPoints[i], checkPoints[i - 1]);
    }
    ASSERT_FALSE(Reports().empty());
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), Reports().back().dwCurrentState);
    EXPECT_EQ(1, endCalls.load());
}

TEST_F(ServiceHandlerTest, StopBeforeTheServiceThreadStartsStillEndsIt)
{
    CWindowService::serviceHandlerEx(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    serviceThread.Start();

    ASSERT_TRUE(WaitUntil([] { return endCalls == 1; }, 5000))
        << "main " << mainCalls << ", end " << endCalls;
    serviceThread.GetThread().Join();
    EXPECT_EQ(1, mainCalls.load()) << "the watch thread is started and then stopped";
}

TEST_F(ServiceHandlerTest, ServiceThreadWithoutItsFunctionsIsNotStarted)
{
    serviceThread.endFunc = nullptr;
    serviceThread.Start();
    EXPECT_EQ(XThread::kNotStarted, serviceThread.GetThread().GetState());
    serviceThread.GetThread().Join();  // returns at once: nothing to wait for
    EXPECT_EQ(0, mainCalls.load());
}

TEST_F(ServiceHandlerTest, ServiceMainOutsideTheServiceManagerReportsNothing)
{
    CWindowService::serviceMainEx(0, nullptr);
    EXPECT_TRUE(Reports().empty()) << Describe(Reports());
    EXPECT_EQ(0, mainCalls.load());
}

TEST_F(ServiceHandlerTest, LogonStartsTheConsoleTwinInTheUserSessionAndEndsItsConsole)
{
    ScratchDir folder(L"service handler logon");
    const std::wstring module = folder / L"Quorbel Copy.exe";
    const std::wstring program = folder / L"Quorbel Copy.com";
    ASSERT_TRUE(CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\fixture_sleeper.exe", module));
    ASSERT_TRUE(CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\fixture_sleeper.exe", program));
    CWindowService::modulePath = module.c_str();

    static std::atomic<int> sessionChanges{0};
    sessionChanges = 0;
    serviceThread.sessionChangeFunc = [] { ++sessionChanges; };
    // The session that was logged on to is the one the launch takes, not the active one.
    WTSSESSION_NOTIFICATION logon{sizeof(logon), 1};
    FakeSessions nobodyActive(L"none");

    const ULONGLONG before = GetTickCount64();
    CWindowService::serviceHandlerEx(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, &logon,
                                     nullptr);
    const ULONGLONG took = GetTickCount64() - before;
    EXPECT_EQ(1, sessionChanges.load()) << "the watch is told of the change";

    const std::vector<SERVICE_STATUS> seen = Reports();
    ASSERT_EQ(1u, seen.size()) << Describe(seen);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), seen[0].dwCurrentState);
    EXPECT_EQ(kAccepted, seen[0].dwControlsAccepted);
    EXPECT_GE(took, 450u) << "the console is given half a second";

    ASSERT_TRUE(WaitUntil([&] { return ReadStartRecord(program).processId != 0; }, 10000))
        << "the executable was not started";
    const StartRecord started = ReadStartRecord(program);
    EXPECT_EQ(program, started.path);
    EXPECT_NE(GetCurrentProcessId(), started.parentId) << "started through a console";
    EXPECT_TRUE(WaitUntil([&] { return !IsProcessAlive(started.parentId); }, 5000))
        << "the console " << started.parentId << " still runs";
    EXPECT_TRUE(IsProcessAlive(started.processId)) << "only the console is ended";
    TerminateById(started.processId);
}

TEST_F(ServiceHandlerTest, LogonLaunchesTheModuleItselfOnlyWithoutATwinBesideIt)
{
    ScratchDir folder(L"service handler logon twin");
    const std::wstring module = folder / L"Quorbel Copy.exe";
    ASSERT_TRUE(CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\fixture_sleeper.exe", module));
    CWindowService::modulePath = module.c_str();
    EXPECT_EQ(module, CWindowService::LogonLaunchPath().GetString());

    ASSERT_TRUE(CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\fixture_sleeper.exe",
                         folder / L"Quorbel Copy.com"));
    EXPECT_EQ(folder / L"Quorbel Copy.com", CWindowService::LogonLaunchPath().GetString());
}

TEST_F(ServiceHandlerTest, LogonWithoutAModulePathOnlyReports)
{
    const ULONGLONG before = GetTickCount64();
    CWindowService::serviceHandlerEx(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, nullptr, nullptr);
    EXPECT_LT(GetTickCount64() - before, 400u) << "nothing is launched, nothing waited for";
    EXPECT_EQ(1u, Reports().size()) << Describe(Reports());
}

TEST_F(ServiceHandlerTest, StopPendingCheckPointsLeaveInOrderAndNothingFollowsStopped)
{
    CWindowService::ReportStatus(SERVICE_STOP_PENDING, 0);
    ClearReports();
    const auto ask = [] {
        for (int i = 0; i < 200; ++i) {
            CWindowService::serviceHandlerEx(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr);
            CWindowService::serviceHandlerEx(SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK,
                                             nullptr, nullptr);
        }
    };
    std::thread first(ask);
    std::thread second(ask);
    WaitUntil([] { return Reports().size() >= 100; }, 5000, 1);
    CWindowService::ReportStatus(SERVICE_STOPPED, kAccepted);
    first.join();
    second.join();
    // Every control a late dispatcher could still deliver.
    for (const DWORD control : {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_CONTINUE,
                                SERVICE_CONTROL_STOP, SERVICE_CONTROL_SESSIONCHANGE}) {
        CWindowService::serviceHandlerEx(control, 0, nullptr, nullptr);
    }
    CWindowService::ReportStatus(SERVICE_STOP_PENDING, 0);

    const std::vector<SERVICE_STATUS> seen = Reports();
    ASSERT_GE(seen.size(), 2u) << Describe(seen);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), seen.back().dwCurrentState)
        << "a report followed the stopped one";
    DWORD lastCheckPoint = 0;
    for (size_t i = 0; i + 1 < seen.size(); ++i) {
        ASSERT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), seen[i].dwCurrentState) << i;
        ASSERT_GT(seen[i].dwCheckPoint, lastCheckPoint) << "report " << i << " out of order";
        lastCheckPoint = seen[i].dwCheckPoint;
    }
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), CWindowService::CurrentState());
}

}  // namespace
