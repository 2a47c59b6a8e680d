#pragma once
// One round of the companion's work: ask the service which processes of this session to look
// at, look at their windows, and report each one that had no responding window for its timeout.
// A handle is held on every process looked at, so its id cannot pass to another process while
// it is judged.

#include <windows.h>

#include <functional>
#include <map>
#include <vector>

#include "CompanionClient.h"
#include "HangTracker.h"
#include "common/ScopedHandle.h"

class CompanionAgent {
public:
    // The seams: the service's answers and the windows, for in-process tests.
    using AskFunc = std::function<bool(std::vector<channel::Target>&)>;
    using ReportFunc = std::function<bool(DWORD processId, DWORD seconds, bool& accepted)>;
    using LookFunc = std::function<std::map<DWORD, WindowLook>(const std::vector<DWORD>&)>;

    CompanionAgent(AskFunc ask, ReportFunc report, LookFunc look);

    // One round at nowMs; returns how many processes were reported and accepted.
    int RunOnce(ULONGLONG nowMs);
    size_t Watched() const { return tracker.Count(); }

    // The rounds are two seconds apart: IsHungAppWindow needs about five seconds to call a
    // window hung, and the shortest timeout is five seconds.
    static constexpr DWORD kRoundMs = 2000;

private:
    // False when the process is gone, or its id now names another process.
    bool HoldProcess(DWORD processId);

    AskFunc ask;
    ReportFunc report;
    LookFunc look;
    HangTracker tracker;
    std::map<DWORD, ScopedHandle> held;
};
