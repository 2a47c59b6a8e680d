#pragma once
// Entries in the Windows event log under the source "QuorbelService", for an administrator who
// reads the log without the trace files. The message texts live in the executable's message
// table (EventMessages.mc); each entry is one line with the inserts given here.

#include <windows.h>

#include <string>
#include <vector>

#include "strings/XStringW.h"

namespace event_log {

constexpr const wchar_t* kSourceName = L"QuorbelService";
// Below HKEY_LOCAL_MACHINE; the source is a subkey of it.
constexpr const wchar_t* kApplicationLogKeyPath =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

// The reporting boundary, a seam for in-process tests: every entry goes through it.
using ReportFunction = BOOL(WINAPI*)(HANDLE source, WORD type, WORD category, DWORD eventId,
                                     PSID user, WORD stringCount, DWORD dataSize,
                                     LPCWSTR* strings, LPVOID data);
extern ReportFunction reportEvent;
// The clock of the repeat limit, a seam as well.
using TickCountFunction = ULONGLONG(WINAPI*)();
extern TickCountFunction tickCount;

// The most events about the programs of one list (a user's own, or the policy's) an hour.
constexpr size_t kListEventsPerHour = 60;

// Registers the source with messageFile (the executable) as its message file; false with the
// registry's error in *error when it cannot.
bool InstallSource(const XStringW& messageFile, DWORD* error);
// Removes the source's registration; a source that is not registered counts as removed.
bool RemoveSource(DWORD* error);

}  // namespace event_log

// Who and what an event about a program is about. Each part is an insertion string of its own,
// so that a forwarded event can be filtered on the program, the user and the session.
struct ProgramEventSubject {
    XStringW name;      // the entry name
    XStringW path;      // the program's path as stored
    XStringW userName;  // DOMAIN\name of the user the program runs for
    XStringW userSid;
    DWORD sessionId = 0;
    bool setByPolicy = false;  // an administrator's entry: not limited with the user's own
};

// How a program was found missing.
enum class MissingProgram {
    kNoFile,         // the file is not there
    kNotRecognized,  // cmd.exe could not find it (exit code 9009)
};

// Information.
void ReportServiceStarted();
void ReportServiceStopped();
// Every event about a program is reported at most once an hour for each entry (of each user) and
// kind; the next report after that says how many went unreported in between. A start failure
// with another error is another kind. The entries of one user's own list together are reported
// at most event_log::kListEventsPerHour times an hour, and so are the entries set by policy: a
// list of hundreds of programs in trouble cannot flood the log.
// Drops what is remembered of entries other than these (names folded as FoldCase folds them) of
// this user once it no longer holds anything back: an entry that leaves the list and comes back
// within the hour (a pause, a removal, a new import) is reported no more often than one that
// stayed.
void ForgetProgramEventsExcept(const XStringW& userSid, const std::vector<std::wstring>& names);
// An error: the program could not be started at all.
void ReportProgramStartFailed(const ProgramEventSubject& subject, DWORD error);
// An error: the program cannot be found.
void ReportProgramNotFound(const ProgramEventSubject& subject, MissingProgram how);
// A warning for a non-zero exit code; an exit code of 0 is not reported.
void ReportProgramExited(const ProgramEventSubject& subject, DWORD exitCode, DWORD ranSeconds);
// A warning: the program ended too soon too often and waits before its next start.
void ReportProgramBackingOff(const ProgramEventSubject& subject, DWORD quickExits,
                             DWORD nextStartSeconds);
// A warning: no window of the program answered for that long, or its liveness check failed so
// (what: the check's words, empty for the windows), and the service ended it.
void ReportProgramNotResponding(const ProgramEventSubject& subject, DWORD seconds,
                                const XStringW& what = XStringW());
// A warning: entries have a hang timeout, but the companion (the subject) has not asked for the
// hang watch for that long, so hangs are not detected.
void ReportHangWatchBlind(const ProgramEventSubject& subject, DWORD silentSeconds);
// A warning: a named object the service guards itself with was made by another process first.
void ReportGuardHeld(const XStringW& objectName, const XStringW& owner);
// An error: a command that registers or secures the service failed, with its answer. An
// installer runs these commands where nobody reads the answer; the log keeps it.
void ReportCommandFailed(const XStringW& command, const XStringW& answer);
