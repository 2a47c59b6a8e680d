// The thread base: ThreadFunc at start and once per interval, the ways a quit request ends the
// worker, joins that must not hang, and handles that must not pile up over many runs.

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include "ProcessUsage.h"
#include "TestSupport.h"
#include "service/ThreadCreation.h"
#include "service/XThread.h"

using namespace testing_support;

namespace {

// A worker that counts its passes and can run a step of the test inside each one.
class CountingThread : public XThread {
public:
    int ThreadFunc() override
    {
        {
            std::lock_guard<std::mutex> lock(ticksLock);
            ticks.push_back(GetTickCount64());
        }
        const int pass = ++calls;
        if (onPass) {
            onPass(pass);
        }
        ++finishedCalls;
        return 0;
    }

    std::vector<ULONGLONG> Ticks()
    {
        std::lock_guard<std::mutex> lock(ticksLock);
        return ticks;
    }

    void StartLoop()
    {
        SetThreadProc(XThread::ThreadProc);
        SetProcArg(this);
        Start();
    }

    // The wake event as a handle that cannot be waited on: every wait of the worker fails.
    void MakeWakeEventUnwaitable()
    {
        HANDLE modifyOnly = nullptr;
        DuplicateHandle(GetCurrentProcess(), wakeEvent.Get(), GetCurrentProcess(), &modifyOnly,
                        EVENT_MODIFY_STATE, FALSE, 0);
        wakeEvent.Reset(modifyOnly);
    }

    std::atomic<int> calls{0};
    std::atomic<int> finishedCalls{0};
    std::function<void(int)> onPass;

private:
    std::mutex ticksLock;
    std::vector<ULONGLONG> ticks;
};

DWORD WINAPI JoinOnHelperThread(void* argument)
{
    static_cast<XThread*>(argument)->Join();
    return 0;
}

// Runs Join on a helper thread and reports whether it came back within the time.
bool JoinReturnsWithin(XThread& thread, DWORD timeoutMs)
{
    HANDLE joiner = CreateThread(nullptr, 0, JoinOnHelperThread, &thread, 0, nullptr);
    if (joiner == nullptr) {
        return false;
    }
    const bool returned = WaitForSingleObject(joiner, timeoutMs) == WAIT_OBJECT_0;
    if (!returned) {
        TerminateThread(joiner, 1);  // keep a hung join from blocking the rest of the run
    }
    CloseHandle(joiner);
    return returned;
}

TEST(XThreadTest, CallsThreadFuncAtStartAndThenOncePerInterval)
{
    CountingThread worker;
    worker.SetInterval(150);
    const ULONGLONG started = GetTickCount64();
    worker.StartLoop();

    ASSERT_TRUE(WaitUntil([&] { return worker.calls >= 4; }, 10000)) << "calls: " << worker.calls;
    worker.Quit();
    worker.Join();

    const std::vector<ULONGLONG> ticks = worker.Ticks();
    EXPECT_LT(ticks[0] - started, 1000u) << "the first pass waits for nothing";
    for (size_t i = 1; i < ticks.size(); ++i) {
        // Wine's timers may fire a little early; the gap is the interval, not a spin.
        EXPECT_GE(ticks[i] - ticks[i - 1], 120u) << "gap before pass " << i;
        EXPECT_LT(ticks[i] - ticks[i - 1], 3000u) << "gap before pass " << i;
    }
    EXPECT_EQ(XThread::kEnded, worker.GetState());
}

TEST(XThreadTest, QuitDuringTheWaitEndsTheThreadAtOnceWithoutAnotherCall)
{
    CountingThread worker;
    worker.SetInterval(60000);
    worker.StartLoop();
    ASSERT_TRUE(WaitUntil([&] { return worker.finishedCalls == 1; }, 5000));

    const ULONGLONG quitAt = GetTickCount64();
    worker.Quit();
    ASSERT_TRUE(JoinReturnsWithin(worker, 5000)) << "the quit event must cut the wait short";

    EXPECT_LT(GetTickCount64() - quitAt, 5000u);
    EXPECT_EQ(1, worker.calls.load());
    EXPECT_EQ(XThread::kEnded, worker.GetState());
}

TEST(XThreadTest, QuitDuringThreadFuncLetsThatCallFinishAndEndsTheThread)
{
    HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CountingThread worker;
    worker.SetInterval(60000);
    worker.onPass = [&](int) {
        SetEvent(entered);
        WaitForSingleObject(release, 10000);
    };
    worker.StartLoop();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(entered, 5000));

    worker.Quit();
    EXPECT_EQ(0, worker.finishedCalls.load()) << "Quit must not cut a pass short";
    SetEvent(release);
    EXPECT_TRUE(JoinReturnsWithin(worker, 5000)) << "the wait after the pass returns at once";

    EXPECT_EQ(1, worker.calls.load());
    EXPECT_EQ(1, worker.finishedCalls.load());
    CloseHandle(entered);
    CloseHandle(release);
}

// The worker is held at a gate before it enters the loop, so the quit request is certain to come
// before its first look at the flag.
struct GatedStart {
    XThread* thread;
    HANDLE gate;
};

unsigned __stdcall GatedThreadProc(void* argument)
{
    const GatedStart* start = static_cast<GatedStart*>(argument);
    WaitForSingleObject(start->gate, 10000);
    return XThread::ThreadProc(start->thread);
}

TEST(XThreadTest, QuitBeforeTheWorkerFirstChecksTheFlagNeverCallsThreadFunc)
{
    CountingThread worker;
    worker.SetInterval(10);
    GatedStart start{&worker, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    worker.SetThreadProc(GatedThreadProc);
    worker.SetProcArg(&start);
    ASSERT_NE(nullptr, worker.Start());

    worker.Quit();
    SetEvent(start.gate);
    ASSERT_TRUE(JoinReturnsWithin(worker, 5000));

    EXPECT_EQ(0, worker.calls.load());
    EXPECT_EQ(XThread::kEnded, worker.GetState());
    CloseHandle(start.gate);
}

// A quit request that arrives from another thread just as Start clears the previous run's.
XThread* quitAtReset = nullptr;

BOOL WINAPI QuitThenReset(HANDLE event)
{
    if (quitAtReset != nullptr) {
        quitAtReset->Quit();
        quitAtReset = nullptr;
    }
    return ResetEvent(event);
}

TEST(XThreadTest, AQuitThatArrivesWhileStartRunsStands)
{
    CountingThread worker;
    worker.SetInterval(10);
    quitAtReset = &worker;
    thread_creation::resetQuitEvent = QuitThenReset;
    worker.StartLoop();
    thread_creation::resetQuitEvent = ::ResetEvent;

    const bool ended = JoinReturnsWithin(worker, 2000);
    const int calls = worker.calls;
    worker.Quit();
    worker.Join();
    EXPECT_TRUE(ended) << "the quit was lost: ThreadFunc ran " << calls << " times";
    EXPECT_EQ(0, calls);
}

TEST(XThreadTest, IntervalSetInsideThreadFuncGovernsTheFollowingWait)
{
    CountingThread worker;
    worker.SetInterval(60000);
    worker.onPass = [&](int pass) {
        if (pass == 1) {
            worker.SetInterval(20);
        }
    };
    worker.StartLoop();

    EXPECT_TRUE(WaitUntil([&] { return worker.calls >= 3; }, 5000))
        << "still waiting the old minute; calls: " << worker.calls;
    worker.Quit();
    worker.Join();
}

TEST(XThreadTest, AFailedWaitIsNoWakeAndTheIntervalIsStillKept)
{
    CountingThread worker;
    worker.SetInterval(200);
    worker.MakeWakeEventUnwaitable();
    worker.StartLoop();

    // At most 4 calls in 600 ms at a 200 ms interval; a spinning worker makes 20 at once.
    EXPECT_FALSE(WaitUntil([&] { return worker.calls >= 20; }, 600))
        << "ThreadFunc ran " << worker.calls << " times";
    worker.Quit();
    EXPECT_TRUE(worker.WaitForEnd(2000)) << "a quit is still seen";
}

TEST(XThreadTest, JoinReturnsAtOnceForAThreadThatNeverStarted)
{
    CountingThread idle;
    EXPECT_TRUE(JoinReturnsWithin(idle, 2000));
    EXPECT_EQ(XThread::kNotStarted, idle.GetState());
}

TEST(XThreadTest, JoinFromTheWorkerItselfReturnsAtOnce)
{
    CountingThread worker;
    worker.SetInterval(60000);
    std::atomic<bool> selfJoinReturned{false};
    worker.onPass = [&](int) {
        worker.Join();
        selfJoinReturned = true;
    };
    worker.StartLoop();

    EXPECT_TRUE(WaitUntil([&] { return selfJoinReturned.load(); }, 5000));
    worker.Quit();
    EXPECT_TRUE(JoinReturnsWithin(worker, 5000));
}

TEST(XThreadTest, ManyStartQuitJoinRunsLeaveNoHandleBehind)
{
    const long before = static_cast<long>(CurrentUsage().handles);
    ASSERT_GT(before, 0) << "no way to count this process's handles";
    {
        CountingThread worker;
        worker.SetInterval(5);
        for (int run = 0; run < 60; ++run) {
            const int callsBefore = worker.calls;
            worker.StartLoop();
            if (run % 2 == 0) {  // every other run is quit only after a pass
                WaitUntil([&] { return worker.calls > callsBefore; }, 2000, 1);
            }
            worker.Quit();
            ASSERT_TRUE(JoinReturnsWithin(worker, 5000)) << "run " << run;
            ASSERT_EQ(XThread::kEnded, worker.GetState()) << "run " << run;
        }
        // The last run's thread handle, the quit event and the wake event stay until the object
        // goes.
        EXPECT_LE(static_cast<long>(CurrentUsage().handles), before + 3);
    }
    EXPECT_EQ(before, static_cast<long>(CurrentUsage().handles));
}

}  // namespace
