#include "watch/WatchEvents.h"

#include "common/ScopedHandle.h"
#include "config/CQuorbelServiceHelper.h"
#include "trace/EventLog.h"
#include "strings/ExitCodeText.h"
#include "trace/Trace.h"

namespace {
// function: the report that traces the end.
void TraceEnd(const char* function, const XStringW& name, DWORD processId, DWORD exitCode,
              ULONGLONG ranMs)
{
    TraceLog(function, __LINE__, L"%@ process %u ended, exit code %@, ran %u ms", name, processId,
             ExitCodeText(exitCode), static_cast<unsigned>(ranMs));
}

SRWLOCK contextGuard = SRWLOCK_INIT;
XStringW contextSid;
DWORD contextSessionId = 0;
EventEntryLookup contextEntryOf;

// The program, the user and the session of an event; the path is looked up when not given.
ProgramEventSubject SubjectOf(const XStringW& name, const XStringW& path = XStringW())
{
    ProgramEventSubject subject;
    subject.name = name;
    subject.path = path;
    EventEntryLookup entryOf;
    {
        const MutexLock lock(contextGuard);
        subject.userSid = contextSid;
        subject.sessionId = contextSessionId;
        entryOf = contextEntryOf;
    }
    if (entryOf) {
        const EventEntry entry = entryOf(name);
        subject.setByPolicy = entry.setByPolicy;
        if (subject.path.IsEmpty()) {
            subject.path = entry.path;
        }
    }
    subject.userName = CQuorbelServiceHelper::GetSessionAccountName(subject.sessionId);
    return subject;
}

// A launch that failed because the program, or the folder it is to start in, is not there.
bool IsMissingProgram(DWORD error, const XStringW& directory)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           (error == ERROR_DIRECTORY && directory.IsEmpty());
}
}  // namespace

void SetEventContext(const XStringW& sid, DWORD sessionId, EventEntryLookup entryOf)
{
    const MutexLock lock(contextGuard);
    contextSid = sid;
    contextSessionId = sessionId;
    contextEntryOf = std::move(entryOf);
}

void ReportStartFailed(const XStringW& name, const XStringW& path, DWORD error,
                       const XStringW& directory)
{
    TraceError("ReportStartFailed", __LINE__, L"%@ could not be started: %@ (error %u)", name, path,
               error);
    // Without an entry's own directory the program starts in its own folder: a folder that is
    // not there holds no program either.
    if (IsMissingProgram(error, directory)) {
        ReportProgramNotFound(SubjectOf(name, path), MissingProgram::kNoFile);
        return;
    }
    ReportProgramStartFailed(SubjectOf(name, path), error);
}

void ReportNotRecognized(const XStringW& name)
{
    TraceError("ReportNotRecognized", __LINE__, L"%@ cannot be found: cmd.exe ended with %u", name,
               kCommandNotFoundExitCode);
    ReportProgramNotFound(SubjectOf(name), MissingProgram::kNotRecognized);
}

void ReportProgramEnded(const XStringW& name, DWORD processId, DWORD exitCode, ULONGLONG ranMs)
{
    if (exitCode != 0) {
        ReportNonZeroExit(name, processId, exitCode, ranMs);
        return;
    }
    TraceEnd("ReportProgramEnded", name, processId, exitCode, ranMs);
}

void ReportRelaunchEnded(const XStringW& name, DWORD processId, DWORD exitCode, ULONGLONG ranMs)
{
    TraceEnd("ReportRelaunchEnded", name, processId, exitCode, ranMs);
    TraceLog("ReportRelaunchEnded", __LINE__, L"%@ relaunched by its user: started again at once",
             name);
}

void ReportNonZeroExit(const XStringW& name, DWORD processId, DWORD exitCode, ULONGLONG ranMs)
{
    TraceEnd("ReportNonZeroExit", name, processId, exitCode, ranMs);
    ReportProgramExited(SubjectOf(name), exitCode, static_cast<DWORD>(ranMs / 1000));
}

void ReportBackoff(const XStringW& name, DWORD quickExits, ULONGLONG delayMs)
{
    TraceLog("ReportBackoff", __LINE__,
             L"%@ backing off: quick exit %u in a row, next start in %u s", name, quickExits,
             static_cast<unsigned>(delayMs / 1000));
    ReportProgramBackingOff(SubjectOf(name), quickExits, static_cast<DWORD>(delayMs / 1000));
}

void ReportNotResponding(const XStringW& name, DWORD processId, DWORD seconds,
                         const XStringW& reason)
{
    if (reason.IsEmpty()) {
        TraceLog("ReportNotResponding", __LINE__,
                 L"%@: not responding for %u s, ended (process %u)", name, seconds, processId);
    } else {
        TraceLog("ReportNotResponding", __LINE__, L"%@: not responding: %@, ended (process %u)",
                 name, reason, processId);
    }
    ReportProgramNotResponding(SubjectOf(name), seconds, reason);
}

void ReportHangWatchBlind(const XStringW& companionName, const XStringW& companionPath,
                          DWORD silentSeconds)
{
    ReportHangWatchBlind(SubjectOf(companionName, companionPath), silentSeconds);
}
