#pragma once
// One round of the companion's work: ask the service which processes of this session to look
// at, look at their windows, and report each one that has no responding window, round after
// round, while the service times the hang. A handle is held on every process looked at, so its
// id cannot pass to another process while it is judged.

#include <windows.h>

#include <functional>
#include <map>
#include <vector>

#include "CompanionClient.h"
#include "HangTracker.h"
#include "common/ScopedHandle.h"

class CompanionAgent {
public:
    // The seams: the service's answers, the windows and a process's age, for in-process tests.
    using AskFunc = std::function<bool(std::vector<channel::Target>&)>;
    using ReportFunc = std::function<bool(DWORD processId, DWORD seconds, DWORD& verdict)>;
    using LookFunc = std::function<std::map<DWORD, WindowLook>(const std::vector<DWORD>&)>;
    using RunTimeFunc = std::function<ULONGLONG(HANDLE process)>;

    CompanionAgent(AskFunc ask, ReportFunc report, LookFunc look,
                   RunTimeFunc runTime = &ProcessRunTimeMs);

    // One round at nowMs; returns how many processes the service said it ends.
    int RunOnce(ULONGLONG nowMs);
    size_t Watched() const { return tracker.Count(); }

    // How long the process has run, from its creation until now (0 when it cannot be asked).
    static ULONGLONG ProcessRunTimeMs(HANDLE process);

    // The rounds are the channel's: two seconds apart, as IsHungAppWindow needs about five
    // seconds to call a window hung, and the shortest timeout is five seconds.
    static constexpr DWORD kRoundMs = channel::kRoundMs;

private:
    // False when the process is gone, or its id now names another process.
    bool HoldProcess(DWORD processId);

    AskFunc ask;
    ReportFunc report;
    LookFunc look;
    RunTimeFunc runTime;
    HangTracker tracker;
    std::map<DWORD, ScopedHandle> held;
};
