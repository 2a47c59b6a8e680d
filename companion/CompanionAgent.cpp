#include "CompanionAgent.h"

#include "common/FileTime.h"
#include "trace/Trace.h"

namespace {
constexpr const char* kFunction = "CompanionAgent::RunOnce";
}  // namespace

CompanionAgent::CompanionAgent(AskFunc askFunc, ReportFunc reportFunc, LookFunc lookFunc,
                               RunTimeFunc runTimeFunc)
    : ask(std::move(askFunc)),
      report(std::move(reportFunc)),
      look(std::move(lookFunc)),
      runTime(std::move(runTimeFunc))
{
}

ULONGLONG CompanionAgent::ProcessRunTimeMs(HANDLE process)
{
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user) ||
        FileTimeValue(now) < FileTimeValue(created)) {
        return 0;
    }
    return (FileTimeValue(now) - FileTimeValue(created)) / 10000;
}

bool CompanionAgent::HoldProcess(DWORD processId)
{
    auto known = held.find(processId);
    if (known != held.end()) {
        if (::WaitForSingleObject(known->second.Get(), 0) != WAIT_OBJECT_0) {
            return true;
        }
        // It ended; whatever runs under the id now is judged afresh.
        held.erase(known);
        tracker.Forget(processId);
    }
    ScopedHandle process(
        ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) {
        return false;
    }
    held.emplace(processId, std::move(process));
    return true;
}

int CompanionAgent::RunOnce(ULONGLONG nowMs)
{
    std::vector<channel::Target> targets;
    if (!ask(targets)) {
        return 0;
    }
    std::vector<DWORD> processIds;
    std::map<DWORD, DWORD> timeouts;
    for (const channel::Target& target : targets) {
        if (target.processId != 0 && target.timeoutSeconds != 0 && HoldProcess(target.processId)) {
            processIds.push_back(target.processId);
            timeouts[target.processId] = target.timeoutSeconds;
        }
    }
    tracker.KeepOnly(processIds);
    for (auto item = held.begin(); item != held.end();) {
        item = timeouts.count(item->first) == 0 ? held.erase(item) : std::next(item);
    }
    if (processIds.empty()) {
        return 0;
    }
    const std::map<DWORD, WindowLook> looks = look(processIds);
    int ending = 0;
    for (const DWORD processId : processIds) {
        const auto found = looks.find(processId);
        HangTracker::Report hang;
        if (found == looks.end() ||
            !tracker.Look(processId, timeouts[processId], found->second, nowMs,
                          runTime(held[processId].Get()), hang)) {
            continue;
        }
        DWORD verdict = channel::kRefused;
        if (!report(processId, hang.seconds, verdict)) {
            continue;  // no answer: reported again at the next round
        }
        if (verdict == channel::kEnding) {
            TraceLog(kFunction, __LINE__, L"process %u: no window answered for %u s, ended",
                     processId, hang.seconds);
            tracker.Ending(processId);
            ++ending;
        } else if (verdict != channel::kTiming) {
            TraceError(kFunction, __LINE__, L"process %u: report refused", processId);
            tracker.Refused(processId, timeouts[processId], nowMs);
        }
    }
    return ending;
}
