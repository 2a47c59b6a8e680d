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
    const DWORD error = owner->mainFunc();
    if (error != NO_ERROR) {
        // Nothing to wait for: the service stops with the error as its exit code.
        owner->startError.store(error);
        TraceError("CWindowServiceThread::ThreadProc", __LINE__,
                   L"the service's work did not start (error %d)", error);
    } else {
        ::WaitForSingleObject(owner->stopEvent.Get(), INFINITE);
        // The request is answered; a later Start of the same object begins afresh.
        owner->stopRequested.store(false);
    }
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
      stopRequested(false), startError(NO_ERROR)
{
}

CWindowServiceThread::~CWindowServiceThread()
{
    mainFunc = nullptr;
    endFunc = nullptr;
}

DWORD CWindowServiceThread::Start()
{
    startError.store(NO_ERROR);
    if (mainFunc == nullptr || endFunc == nullptr) {
        TraceError("CWindowServiceThread::Start", __LINE__,
                   L"cannot start. mainFunc or endFunc is NULL");
        return NO_ERROR;
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
    if (thread.Start() == nullptr) {
        startError.store(::GetLastError());
    }
    return startError.load();
}

void CWindowServiceThread::Stop()
{
    stopRequested.store(true);
    if (stopEvent) {
        ::SetEvent(stopEvent.Get());
    }
    thread.Quit();
}
