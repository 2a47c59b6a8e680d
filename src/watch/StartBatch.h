#pragma once
// The starts of one pass: each program is launched through its console in the user's session, all
// of them at once on the thread pool, as many side by side as the machine has processors, and the
// launched programs then share one wait of at most programStartWaitMs to come up. The batch only launches, waits and ends consoles; what a start
// means for the program's runs and console records is its owner's business.

#include <windows.h>

#include <vector>

#include "common/ScopedHandle.h"
#include "service/XThread.h"
#include "strings/XStringW.h"
#include "watch/ConsoleEnds.h"
#include "watch/ProcessView.h"
#include "watch/WatchSeams.h"

struct StartedProgram {
    XStringW name;
    XStringW path;
    XStringW arguments;
    XStringW directory;
    LaunchOptions options;
    DWORD consoleId = 0;
    DWORD launchError = ERROR_SUCCESS;  // why the launch failed, when consoleId is 0
    ScopedHandle console;
    ULONGLONG launchedAt = 0;
    bool launched = false;  // false: the service was stopping before its turn came
};

class StartBatch {
public:
    // owner: its quit request stops launches and cuts the wait short. logon: the session and user
    // of the pass, whom every program of the batch is started for. job: the job every console
    // joins (none when null).
    StartBatch(const WatchSeams& seams, const XThread& owner, ProcessView& processes,
               UserLogon& logon, HANDLE job = nullptr);
    StartBatch(const StartBatch&) = delete;
    StartBatch& operator=(const StartBatch&) = delete;

    // Queues a start.
    void Add(const XStringW& name, const XStringW& path, const XStringW& arguments,
             const XStringW& directory, bool crashDialog = false);
    // Launches what is still queued and waits until every launched program runs, at most
    // programStartWaitMs; the process view is fresh afterwards. Programs whose turn came after a
    // quit request are dropped. Unless deferConsoleEnds is set, the wait lasts until the consoles
    // had their second, so that EndConsole ends them at once.
    void LaunchAndWait(bool deferConsoleEnds);
    // The launched programs, after LaunchAndWait.
    std::vector<StartedProgram>& Programs() { return programs; }
    // Ends the console of a program that came up: now, or by a later pass once it had its second.
    void EndConsole(StartedProgram& started, ConsoleEnds& consoleEnds);

private:
    void LaunchPending();
    static void CALLBACK LaunchOne(PTP_CALLBACK_INSTANCE, void* context, PTP_WORK);
    void WaitForStartedPrograms();

    const WatchSeams& seams;
    const XThread& owner;
    ProcessView& processes;
    UserLogon& logon;
    HANDLE job;
    std::vector<StartedProgram> programs;
    size_t launched = 0;  // the programs before this index have been launched
    bool deferred = false;
    ULONGLONG settledAt = 0;  // when the consoles had their second
};
