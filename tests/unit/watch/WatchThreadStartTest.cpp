// The service with a watch thread that cannot be created: it must not run on, watching nothing.

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <mutex>
#include <process.h>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "WatchTestHelpers.h"
#include "service/CWindowService.h"
#include "service/CWindowServiceThread.h"
#include "service/ServiceStatusReport.h"
#include "service/ThreadCreation.h"
#include "watch/CQuorbelServiceThread.h"

using namespace testing_support;
using namespace watch_test;

namespace {

std::mutex reportsLock;
std::vector<SERVICE_STATUS> reports;

BOOL WINAPI RecordStatus(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS status)
{
    const std::lock_guard<std::mutex> lock(reportsLock);
    reports.push_back(*status);
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI FakeRegistration(LPCWSTR, LPHANDLER_FUNCTION_EX, LPVOID)
{
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(1);
}

// The service thread is created; every thread after it fails as when memory runs out.
std::atomic<int> creationsLeft{0};
uintptr_t __cdecl FailAfterFirst(void* security, unsigned stackSize,
                                 unsigned(__stdcall* procedure)(void*), void* argument,
                                 unsigned flags, unsigned* threadId)
{
    if (creationsLeft-- > 0) {
        return ::_beginthreadex(security, stackSize, procedure, argument, flags, threadId);
    }
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

TEST(WatchThreadStart, AWatchThreadThatCannotStartStopsTheServiceWithItsError)
{
    service_status::setServiceStatus = RecordStatus;
    service_status::registerHandler = FakeRegistration;
    thread_creation::beginThread = FailAfterFirst;
    creationsLeft = 1;
    CWindowServiceThread serviceThread;
    serviceThread.mainFunc = StartWatchThread;
    serviceThread.endFunc = StopWatchThread;
    CWindowService::serviceThread = &serviceThread;
    TraceCapture trace;

    // Ends by itself: no stop request is ever sent.
    std::thread serviceMain([] { CWindowService::serviceMainEx(0, nullptr); });
    const bool ended = WaitUntil([] {
        const std::lock_guard<std::mutex> lock(reportsLock);
        return !reports.empty() && reports.back().dwCurrentState == SERVICE_STOPPED;
    }, 10000);
    if (!ended) {
        serviceThread.Stop();
    }
    serviceMain.join();
    thread_creation::beginThread = ::_beginthreadex;
    service_status::setServiceStatus = ::SetServiceStatus;
    service_status::registerHandler = ::RegisterServiceCtrlHandlerExW;
    CWindowService::serviceThread = nullptr;

    ASSERT_TRUE(ended) << "the service went on running without its watch thread";
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), reports.back().dwWin32ExitCode);
    EXPECT_NE(XThread::kRunning, GetWatchThread().GetState());
    EXPECT_TRUE(trace.Contains(L"<ERROR> cannot start CQuorbelServiceThread (GetLastError:8)"))
        << Utf8(trace.Text());
}

}  // namespace
