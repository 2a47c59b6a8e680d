#pragma once
// The watch thread: every pass keeps the companion program and the user's active watch-list
// programs running, starting them through cmd.exe in the user's session and tracking the
// consoles it started.

#include <windows.h>

#include <list>
#include <memory>

#include "common/ScopedHandle.h"
#include "service/XThread.h"
#include "strings/XStringW.h"
#include "strings/XStringWList.h"

// The consoles started for one program name.
struct _PINFO {
    XStringW name;
    XStringWList pidList;
};

class CQuorbelServiceThread : public XThread {
public:
    CQuorbelServiceThread();
    ~CQuorbelServiceThread() override;

    int ThreadFunc() override;

    DWORD RunProcess(const XStringW& name, const XStringW& path);
    bool IsRunCMD(const XStringW& name);
    void AddCMDWatchList(const XStringW& name, DWORD processId);
    void RemoveCMDWatchList(const XStringW& name);

    std::list<std::unique_ptr<_PINFO>> pinfoList;
    ScopedHandle pinfoMutex;
    DWORD startTick;
    DWORD startDelay;
};

// The single process-wide watch thread.
CQuorbelServiceThread& GetWatchThread();

void StartWatchThread();
void StopWatchThread();
