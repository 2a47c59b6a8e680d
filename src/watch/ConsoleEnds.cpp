#include "watch/ConsoleEnds.h"

#include <algorithm>

#include "service/CWindowService.h"
#include "trace/Trace.h"

void ConsoleEnds::EndNow(DWORD consoleId, const ScopedHandle& console)
{
    if (!console) {
        TraceError("CQuorbelServiceThread::RunProcess", __LINE__,
                   L"no handle of console %d, left running", consoleId);
        return;
    }
    if (!::TerminateProcess(console.Get(), CWindowService::kEndedConsoleExitCode)) {
        TraceError("CQuorbelServiceThread::RunProcess", __LINE__,
                   L"console %d not ended, error %d", consoleId, ::GetLastError());
    }
}

void ConsoleEnds::EndAt(ULONGLONG endAt, DWORD consoleId, ScopedHandle console)
{
    Pending end;
    end.endAt = endAt;
    end.consoleId = consoleId;
    end.console = std::move(console);
    pending.push_back(std::move(end));
}

void ConsoleEnds::EndDue(ULONGLONG now, bool all)
{
    for (auto end = pending.begin(); end != pending.end();) {
        if (end->endAt > now && !all) {
            ++end;
            continue;
        }
        EndNow(end->consoleId, end->console);
        end = pending.erase(end);
    }
}

ULONGLONG ConsoleEnds::MsUntilNext(ULONGLONG now) const
{
    ULONGLONG untilNext = kNone;
    for (const Pending& end : pending) {
        untilNext = (std::min)(untilNext, end.endAt > now ? end.endAt - now : 0);
    }
    return untilNext;
}
