#pragma once
// The watch engine's decisions that an operator wants to hear of, each in one function: a
// program that could not be started or cannot be found, a program that ended with an exit code
// other than 0, and a program held back after quick exits. Each traces its one line and reports
// the event to the Windows event log, with the program's path, the user and the session.

#include <windows.h>

#include <functional>

#include "strings/ExitCodeText.h"
#include "strings/XStringW.h"

// What an event tells of an entry beside its name.
struct EventEntry {
    XStringW path;
    bool setByPolicy = false;
};
// The user the events are about (the SID and session of the pass) and where an entry's program
// path and source are found; set when the pass's user changes. The user's name is looked up, in
// that session, only for an event.
using EventEntryLookup = std::function<EventEntry(const XStringW& name)>;
void SetEventContext(const XStringW& sid, DWORD sessionId, EventEntryLookup entryOf);

void ReportStartFailed(const XStringW& name, const XStringW& path, DWORD error,
                       const XStringW& directory);
void ReportNotRecognized(const XStringW& name);
// Every seen end of a program; an end with a non-zero code goes through ReportNonZeroExit.
void ReportProgramEnded(const XStringW& name, DWORD processId, DWORD exitCode, ULONGLONG ranMs);
void ReportNonZeroExit(const XStringW& name, DWORD processId, DWORD exitCode, ULONGLONG ranMs);
// The end of a run its user closed to have it started again: traced, with no event.
void ReportRelaunchEnded(const XStringW& name, DWORD processId, DWORD exitCode, ULONGLONG ranMs);
void ReportBackoff(const XStringW& name, DWORD quickExits, ULONGLONG delayMs);
// The service ended the program because no window of it answered for that long, or, with a
// reason, because its liveness check failed so ("port 8080 refused for 31 s").
void ReportNotResponding(const XStringW& name, DWORD processId, DWORD seconds,
                         const XStringW& reason = XStringW());
// The companion (its image name and path) has not asked for the hang watch for that long.
void ReportHangWatchBlind(const XStringW& companionName, const XStringW& companionPath,
                          DWORD silentSeconds);
