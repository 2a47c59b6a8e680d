#include "watch/CQuorbelServiceThread.h"

namespace {
constexpr DWORD kStartDelayMs = 40000;     // no pass does anything this soon after boot
constexpr DWORD kDefaultIntervalMs = 5000;
}  // namespace

// The waits and the list monitor call Wake from thread-pool threads; they are members, so they
// are released (each waiting for a callback under way) before the thread object goes.
CQuorbelServiceThread::CQuorbelServiceThread()
    : consoleRecords(),
      startTick(0),
      startDelay(0),
      programWaits([this] { Wake(); }),
      consoleWaits([this] { Wake(); })
{
    SetName(L"CQuorbelServiceThread");
    activeList.SetChangeCallback([this] { Wake(); });
}

CQuorbelServiceThread::~CQuorbelServiceThread()
{
    EndPendingConsoles();
}

CQuorbelServiceThread& GetWatchThread()
{
    static CQuorbelServiceThread watchThread;
    return watchThread;
}

DWORD StartWatchThread()
{
    CQuorbelServiceThread& watchThread = GetWatchThread();
    watchThread.startTick = ::GetTickCount();
    watchThread.startDelay = kStartDelayMs;
    watchThread.SetInterval(kDefaultIntervalMs);
    // A thread that ran before cleared its procedure when it ended.
    if (watchThread.GetThreadProc() == nullptr) {
        watchThread.SetThreadProc(XThread::ThreadProc);
    }
    if (watchThread.GetProcArg() == nullptr) {
        watchThread.SetProcArg(&watchThread);
    }
    return watchThread.Start() != nullptr ? NO_ERROR : ::GetLastError();
}

void StopWatchThread()
{
    CQuorbelServiceThread& watchThread = GetWatchThread();
    watchThread.Quit();
    watchThread.Join();
    watchThread.EndPendingConsoles();
}

void WakeWatchThread()
{
    GetWatchThread().Wake();
}
