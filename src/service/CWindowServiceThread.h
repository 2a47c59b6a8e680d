#pragma once
// The service thread: runs mainFunc when the service starts, waits for the stop event, then
// runs endFunc.

#include <windows.h>

#include <atomic>

#include "common/ScopedHandle.h"
#include "service/XThread.h"

class CWindowServiceThread {
public:
    using Function = void (*)();

    CWindowServiceThread();
    ~CWindowServiceThread();
    CWindowServiceThread(const CWindowServiceThread&) = delete;
    CWindowServiceThread& operator=(const CWindowServiceThread&) = delete;

    void Start();
    void Stop();

    XThread& GetThread() { return thread; }

    ScopedHandle stopEvent;
    XThread thread;
    Function mainFunc;
    Function endFunc;
    // Called by the control handler when a session changes (a logon among them), so that the
    // work started by mainFunc looks at the new session at once; may stay null.
    Function wakeFunc = nullptr;
    // Set by Stop, so that a stop requested before Start still ends the service thread.
    std::atomic<bool> stopRequested;
};
