#include "service/XThread.h"

#include <process.h>

#include <algorithm>

#include "service/ThreadCreation.h"
#include "trace/Trace.h"

namespace thread_creation {
BeginThreadFunction beginThread = ::_beginthreadex;
ResetEventFunction resetQuitEvent = ::ResetEvent;
}

namespace {
// How often a worker whose events cannot be waited on looks at its quit flag.
constexpr DWORD kFailedWaitPollMs = 50;

HANDLE CreateThreadEvent(BOOL manualReset)
{
    HANDLE event = ::CreateEventW(nullptr, manualReset, FALSE, nullptr);
    if (event == nullptr) {
        TraceError("XThread::XThread", __LINE__, L"no event (GetLastError:%d)", ::GetLastError());
    }
    return event;
}

HANDLE CreateQuitEvent()
{
    // Manual reset: once Quit has signalled it, every later wait of the worker returns at once.
    return CreateThreadEvent(TRUE);
}
}  // namespace

// The quit event is made here rather than by the first Start: Quit may come from another thread
// while the owner is still inside Start, and must then find a handle that is not being written.
// Both the quit event and the thread handle are kept until the next Start or the destructor, so
// that no Join or Quit ever uses a handle that was closed (or reused) under it.
XThread::XThread()
    : name(),
      quitFlag(false),
      quitEvent(CreateQuitEvent()),
      wakeEvent(CreateThreadEvent(FALSE)),
      state(kNotStarted),
      interval(0),
      nextWait(INFINITE),
      threadProc(nullptr),
      threadHandle(),
      threadId(0),
      procArg(nullptr)
{
}

XThread::~XThread()
{
    threadProc = nullptr;
    procArg = nullptr;
    // The thread handle and the quit event are closed by their owners; the thread itself is
    // neither stopped nor waited for.
}

int XThread::ThreadFunc()
{
    return 0;
}

HANDLE XThread::Start()
{
    // A quit request from before this Start is cleared; one that comes while Start runs stands.
    const unsigned requestsBefore = quitRequests.load();
    if (!quitEvent) {
        quitEvent.Reset(CreateQuitEvent());
    }
    thread_creation::resetQuitEvent(quitEvent.Get());
    quitFlag.store(false);
    if (quitRequests.load() != requestsBefore) {
        Quit();
    }

    // Created suspended so that the handle and id are stored before the worker can run: a
    // Join from the worker itself must already recognise its own thread id.
    unsigned newThreadId = 0;
    const uintptr_t created = thread_creation::beginThread(nullptr, 0, threadProc, procArg,
                                                           CREATE_SUSPENDED, &newThreadId);
    if (created == 0) {
        // The state stays as it was: a thread that never ran is not running.
        DWORD error = ::GetLastError();
        if (error == ERROR_SUCCESS) {
            error = ERROR_NOT_ENOUGH_MEMORY;  // the run-time library's only reason left
        }
        TraceError("XThread::Start", __LINE__, L"cannot start %@ (GetLastError:%d)", name, error);
        ::SetLastError(error);
        return nullptr;
    }
    threadHandle.Reset(reinterpret_cast<HANDLE>(created));
    threadId = newThreadId;
    // Set before the worker runs, so that its own end (kEnded) always comes after.
    state.store(kRunning);
    ::ResumeThread(threadHandle.Get());
    return threadHandle.Get();
}

void XThread::Quit()
{
    ++quitRequests;
    quitFlag.store(true);
    if (quitEvent) {
        ::SetEvent(quitEvent.Get());
    }
}

void XThread::Wake()
{
    if (wakeEvent) {
        ::SetEvent(wakeEvent.Get());
    }
}

void XThread::Join()
{
    WaitForEnd(INFINITE);
}

bool XThread::WaitForEnd(DWORD milliseconds)
{
    if (!threadHandle) {
        return true;
    }
    if (::GetCurrentThreadId() == threadId) {
        return true;  // the worker cannot wait for its own end
    }
    return ::WaitForSingleObject(threadHandle.Get(), milliseconds) != WAIT_TIMEOUT;
}

bool XThread::WaitForQuit(DWORD milliseconds) const
{
    if (quitFlag.load()) {
        return true;
    }
    if (!quitEvent) {
        ::Sleep(milliseconds);
        return quitFlag.load();
    }
    return ::WaitForSingleObject(quitEvent.Get(), milliseconds) == WAIT_OBJECT_0;
}

unsigned __stdcall XThread::ThreadProc(void* argument)
{
    XThread* const self = static_cast<XThread*>(argument);
    while (!self->quitFlag.load()) {
        self->nextWait.store(INFINITE);
        self->ThreadFunc();
        // The interval is read anew for every wait, so ThreadFunc may change it for the next one.
        DWORD waitMs = self->interval.load();
        waitMs = (std::min)(waitMs, self->nextWait.load());
        // The quit event comes first, so that a quit and a wake together end the thread.
        const HANDLE events[] = {self->quitEvent.Get(), self->wakeEvent.Get()};
        const DWORD count = self->wakeEvent ? 2 : 1;
        const DWORD woken = ::WaitForMultipleObjects(count, events, FALSE, waitMs);
        if (woken == WAIT_OBJECT_0) {
            break;
        }
        // A wait that cannot be made is no wake: the interval is slept instead of spinning.
        if (woken == WAIT_FAILED) {
            TraceError("XThread::ThreadProc", __LINE__, L"%@: wait failed (GetLastError:%d)",
                       self->name, ::GetLastError());
            const ULONGLONG until = ::GetTickCount64() + waitMs;
            while (!self->quitFlag.load() && ::GetTickCount64() < until) {
                ::Sleep(kFailedWaitPollMs);
            }
        }
    }
    self->threadProc = nullptr;
    self->procArg = nullptr;
    self->state.store(kEnded);
    return 0;
}
