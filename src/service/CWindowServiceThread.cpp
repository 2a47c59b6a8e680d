#include "service/CWindowServiceThread.h"

#include "trace/Trace.h"

namespace {
constexpr DWORD kServiceThreadIntervalMs = 10;  // not used by the service thread procedure

HANDLE CreateStopEvent()
{
    return ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

unsigned __stdcall ServiceThreadProc(void* argument)
{
    CWindowServiceThread* const owner = static_cast<CWindowServiceThread*>(argument);
    owner->mainFunc();
    ::WaitForSingleObject(owner->stopEvent.Get(), INFINITE);
    // The request is answered; a later Start of the same object begins afresh.
    owner->stopRequested.store(false);
    if (owner->endFunc != nullptr) {
        owner->endFunc();
    }
    return 0;
}
}  // namespace

// The stop event exists from construction on and is closed only by the destructor: the control
// handler may signal it at any moment from its own thread, also before Start and more than once,
// while the service thread may be waiting on it.
CWindowServiceThread::CWindowServiceThread()
    : stopEvent(CreateStopEvent()), thread(), mainFunc(nullptr), endFunc(nullptr),
      stopRequested(false)
{
}

CWindowServiceThread::~CWindowServiceThread()
{
    mainFunc = nullptr;
    endFunc = nullptr;
}

void CWindowServiceThread::Start()
{
    if (mainFunc == nullptr || endFunc == nullptr) {
        TraceError("CWindowServiceThread::Start", __LINE__,
                   L"cannot start. mainFunc or endFunc is NULL");
        return;
    }
    if (!stopEvent) {
        stopEvent.Reset(CreateStopEvent());
    }
    ::ResetEvent(stopEvent.Get());
    // Stop sets the flag before it signals: a request that came before the reset above is
    // seen here, one that comes after it signals the event itself.
    if (stopRequested.load()) {
        ::SetEvent(stopEvent.Get());
    }

    thread.SetName(L"CWindowServiceThread");
    thread.SetThreadProc(ServiceThreadProc);
    thread.SetProcArg(this);
    thread.SetInterval(kServiceThreadIntervalMs);
    thread.Start();
}

void CWindowServiceThread::Stop()
{
    stopRequested.store(true);
    if (stopEvent) {
        ::SetEvent(stopEvent.Get());
    }
    thread.Quit();
}
