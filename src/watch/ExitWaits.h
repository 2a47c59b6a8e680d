#pragma once
// Thread-pool waits on the processes of watched programs: each process seen running is opened
// once and waited on until it ends, and its end calls the wake callback, so that the watch
// thread runs a pass at once instead of at the end of its interval. There is no limit of 64
// handles as with WaitForMultipleObjects. A process is opened by the id its sighting gave, and
// is taken for the one seen only when its creation time is the sighting's; its handle is then
// held until the end is taken, so the id cannot name another process in between.

#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/ScopedHandle.h"
#include "process/ProcessTable.h"
#include "strings/XStringW.h"
#include "strings/XStringWList.h"

class ExitWaits {
public:
    using WakeFunc = std::function<void()>;

    struct Exit {
        XStringW name;
        DWORD processId = 0;
        DWORD exitCode = 0;
        ULONGLONG ranMs = 0;  // from the process's creation to its end
        // When it ended (a FILETIME value, UTC): as the process tells, or else when its wait saw
        // the end.
        ULONGLONG endedAt = 0;
    };

    explicit ExitWaits(WakeFunc wake);
    ~ExitWaits();
    ExitWaits(const ExitWaits&) = delete;
    ExitWaits& operator=(const ExitWaits&) = delete;

    // Waits on every listed process of the name ("%d" texts) not waited on yet. False when a
    // wait could not be set up for one of them (traced once per process): that one is left to
    // the interval poll. With the table the ids come from, a process opened by an id is waited
    // on only if it was created when the table says: an id that was given to another process
    // since counts as the end of the one seen.
    bool Watch(const XStringW& name, const XStringWList& processIds,
               const ProcessTable* seenIn = nullptr);
    // The processes that ended since the last call, with their handles released.
    std::vector<Exit> TakeExits();
    // Releases the waits of every name not listed (paused or removed entries).
    void KeepOnly(const std::vector<std::wstring>& keys);
    // The processes of the name that are waited on and have not ended.
    std::vector<DWORD> LiveIds(const XStringW& name) const;
    // Ends a process of the name through the handle held on it, if mayEnd agrees when asked with
    // that handle; false when it is not one that is waited on, has ended already, was not to be
    // ended, or could not be ended (traced). An id is never opened afresh here, so it cannot name
    // another process.
    using EndCheck = std::function<bool(HANDLE process)>;
    bool Terminate(const XStringW& name, DWORD processId, UINT exitCode, const EndCheck& mayEnd);
    size_t Count() const;
    // Whether a process ended whose end has not been taken yet.
    bool HasExits() const;

private:
    struct Waited {
        XStringW name;
        DWORD processId = 0;
        ScopedHandle process;
        ScopedRegisteredWait wait;  // after the handle: released first
        std::atomic<bool> ended{false};
        std::atomic<ULONGLONG> endSeenAt{0};
        ExitWaits* owner = nullptr;
    };
    static void CALLBACK OnExit(void* context, BOOLEAN timedOut);
    bool Add(const XStringW& name, DWORD processId, ULONGLONG seenCreatedAt,
             std::vector<std::unique_ptr<Waited>>& list);

    WakeFunc wake;
    std::map<std::wstring, std::vector<std::unique_ptr<Waited>>> waits;
};
