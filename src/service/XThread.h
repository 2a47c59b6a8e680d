#pragma once
// The program's thread class: a named worker that calls ThreadFunc at once and then again after
// every interval until it is told to quit; the quit event cuts the wait between calls short, and
// Wake ends it early with one more call.

#include <windows.h>

#include <atomic>

#include "common/ScopedHandle.h"
#include "strings/XStringW.h"

class XThread {
public:
    using ThreadProcType = unsigned(__stdcall*)(void*);

    enum State : LONG { kNotStarted = 0, kRunning = 1, kEnded = 3 };

    XThread();
    virtual ~XThread();
    XThread(const XThread&) = delete;
    XThread& operator=(const XThread&) = delete;

    // The work of one pass; the base version does nothing.
    virtual int ThreadFunc();

    // Creates and starts the thread; returns its handle, or null when it could not be created
    // (GetLastError then tells why, the state is unchanged and the failure is traced).
    HANDLE Start();
    // Asks the thread to end; does not wait.
    void Quit();
    // Cuts the current (or the next) wait between two calls short, so that ThreadFunc runs once
    // more at once. Any thread, a thread-pool callback included, may call it; wakes that come
    // together run ThreadFunc once.
    void Wake();
    // Waits without limit until the thread has ended. Returns at once when called on the
    // thread itself or when no thread was ever started.
    void Join();
    // Waits up to the given time for the thread to end; true when it has ended or none was
    // started. Like Join, it returns true at once on the thread itself.
    bool WaitForEnd(DWORD milliseconds);

    // Thread procedure for workers that use ThreadFunc; its argument is the XThread.
    static unsigned __stdcall ThreadProc(void* argument);

    void SetName(const XStringW& threadName) { name = threadName; }
    void SetThreadProc(ThreadProcType procedure) { threadProc = procedure; }
    void SetProcArg(void* argument) { procArg = argument; }
    ThreadProcType GetThreadProc() const { return threadProc; }
    void* GetProcArg() const { return procArg; }
    void SetInterval(DWORD milliseconds) { interval.store(milliseconds); }
    // Shortens the one wait that follows the current call to at most the given time (INFINITE:
    // the interval alone). For work that falls due before the interval is over.
    void SetNextWait(DWORD milliseconds) { nextWait.store(milliseconds); }
    DWORD GetInterval() const { return interval.load(); }
    DWORD GetNextWait() const { return nextWait.load(); }
    LONG GetState() const { return state.load(); }
    bool IsQuitRequested() const { return quitFlag.load(); }

    // Waits up to the given time for a quit request; true when one came. For work inside
    // ThreadFunc that must not hold up a quit.
    bool WaitForQuit(DWORD milliseconds) const;

protected:

    XStringW name;
    std::atomic<bool> quitFlag;
    std::atomic<unsigned> quitRequests{0};  // rises with every Quit
    ScopedHandle quitEvent;
    ScopedHandle wakeEvent;  // auto-reset: one wait ends per burst of wakes
    std::atomic<LONG> state;
    std::atomic<DWORD> interval;
    std::atomic<DWORD> nextWait;
    ThreadProcType threadProc;
    ScopedHandle threadHandle;
    unsigned threadId;
    void* procArg;
};
