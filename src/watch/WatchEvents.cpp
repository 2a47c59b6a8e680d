#include "watch/WatchEvents.h"

#include "trace/EventLog.h"
#include "trace/Trace.h"

namespace {
constexpr const char* kFunction = "CQuorbelServiceThread::ThreadFunc";

void TraceEnd(const XStringW& name, DWORD processId, DWORD exitCode, ULONGLONG ranMs)
{
    // The code in decimal as the program returned it: 7, or -1073741819 for an access violation.
    TraceLog(kFunction, __LINE__, L"%@ process %u ended, exit code %d, ran %u ms", name, processId,
             static_cast<int>(exitCode), static_cast<unsigned>(ranMs));
}
}  // namespace

void ReportStartFailed(const XStringW& name, const XStringW& path, DWORD error)
{
    TraceError(kFunction, __LINE__, L"%@ could not be started: %@ (error %u)", name, path, error);
    ReportProgramStartFailed(name, path, error);
}

void ReportProgramEnded(const XStringW& name, DWORD processId, DWORD exitCode, ULONGLONG ranMs)
{
    if (exitCode != 0) {
        ReportNonZeroExit(name, processId, exitCode, ranMs);
        return;
    }
    TraceEnd(name, processId, exitCode, ranMs);
}

void ReportNonZeroExit(const XStringW& name, DWORD processId, DWORD exitCode, ULONGLONG ranMs)
{
    TraceEnd(name, processId, exitCode, ranMs);
    ReportProgramExited(name, exitCode, static_cast<DWORD>(ranMs / 1000));
}

void ReportBackoff(const XStringW& name, DWORD quickExits, ULONGLONG delayMs)
{
    TraceLog(kFunction, __LINE__, L"%@ backing off: quick exit %u in a row, next start in %u s",
             name, quickExits, static_cast<unsigned>(delayMs / 1000));
    ReportProgramBackingOff(name, quickExits, static_cast<DWORD>(delayMs / 1000));
}

void ReportNotResponding(const XStringW& name, DWORD processId, DWORD seconds)
{
    TraceLog(kFunction, __LINE__, L"%@: not responding for %u s, ended (process %u)", name, seconds,
             processId);
    ReportProgramNotResponding(name, seconds);
}
