#include "watch/CQuorbelServiceThread.h"

namespace {
constexpr DWORD kStartDelayMs = 40000;     // no pass does anything this soon after boot
constexpr DWORD kDefaultIntervalMs = 5000;
}  // namespace

CQuorbelServiceThread::CQuorbelServiceThread()
    : pinfoList(), pinfoMutex(::CreateMutexW(nullptr, FALSE, nullptr)), startTick(0), startDelay(0)
{
    SetName(L"CQuorbelServiceThread");
}

CQuorbelServiceThread::~CQuorbelServiceThread()
{
    const MutexLock lock(pinfoMutex.Get());
    if (lock.Owns()) {
        while (!pinfoList.empty()) {
            pinfoList.pop_front();
        }
    }
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
}
