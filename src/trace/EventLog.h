#pragma once
// Entries in the Windows event log under the source "QuorbelService", for an administrator who
// reads the log without the trace files. The message texts live in the executable's message
// table (EventMessages.mc); each entry is one line with the inserts given here.

#include <windows.h>

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
// The clock of the repeat check for start failures, a seam as well.
using TickCountFunction = ULONGLONG(WINAPI*)();
extern TickCountFunction tickCount;

// Registers the source with messageFile (the executable) as its message file; false with the
// registry's error in *error when it cannot.
bool InstallSource(const XStringW& messageFile, DWORD* error);
// Removes the source's registration; a source that is not registered counts as removed.
bool RemoveSource(DWORD* error);

}  // namespace event_log

// Information.
void ReportServiceStarted();
void ReportServiceStopped();
// An error: the program could not be started at all. The same error of the same program (names
// in any letter case) is reported once an hour, however often the start is tried.
void ReportProgramStartFailed(const XStringW& name, const XStringW& path, DWORD error);
// A warning for a non-zero exit code; an exit code of 0 is not reported.
void ReportProgramExited(const XStringW& name, DWORD exitCode, DWORD ranSeconds);
// A warning: the program ended too soon too often and waits before its next start.
void ReportProgramBackingOff(const XStringW& name, DWORD quickExits, DWORD nextStartSeconds);
// A warning: a named object the service guards itself with was made by another process first.
void ReportGuardHeld(const XStringW& objectName, const XStringW& owner);
