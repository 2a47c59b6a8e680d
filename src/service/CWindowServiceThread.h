#pragma once
// The service thread: runs mainFunc when the service starts, waits for the stop event, then
// runs endFunc. A mainFunc that fails ends the service thread at once, with its error kept.

#include <windows.h>

#include <atomic>

#include "common/ScopedHandle.h"
#include "service/XThread.h"

class CWindowServiceThread {
public:
    // mainFunc answers a system error code: NO_ERROR once the service's work has started.
    using StartFunction = DWORD (*)();
    using Function = void (*)();

    CWindowServiceThread();
    ~CWindowServiceThread();
    CWindowServiceThread(const CWindowServiceThread&) = delete;
    CWindowServiceThread& operator=(const CWindowServiceThread&) = delete;

    // NO_ERROR, or the error that kept the service thread from starting.
    DWORD Start();
    void Stop();
    // Why the service's work did not start (the thread's own start or mainFunc); NO_ERROR
    // otherwise. Read once the service thread has ended.
    DWORD StartError() const { return startError.load(); }

    XThread& GetThread() { return thread; }

    ScopedHandle stopEvent;
    XThread thread;
    StartFunction mainFunc;
    Function endFunc;
    // Called by the control handler when a session changes (a logon, a logoff, a switch among
    // them), so that the work started by mainFunc lets go of what it kept of the session's user
    // and looks at the sessions again at once; may stay null.
    Function sessionChangeFunc = nullptr;
    // Set by Stop, so that a stop requested before Start still ends the service thread.
    std::atomic<bool> stopRequested;
    std::atomic<DWORD> startError;
};
