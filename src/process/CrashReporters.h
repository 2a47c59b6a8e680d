#pragma once
// The platform's crash reporters, as they show in the process list: Windows Error Reporting's
// WerFault.exe and WerFaultSecure.exe, which name the crashed process with "-p <pid>", and Wine's
// debugger, started as "winedbg --auto <pid> <event>". While one works on a crashed process, that
// process stays in the list (held until its dialog is closed, or its report is written).

#include <windows.h>

#include <vector>

#include "common/ScopedHandle.h"
#include "process/ProcessTable.h"
#include "strings/XStringW.h"

namespace crash_reporters {

// Whether a process of that image name (any letter case) is a crash reporter.
bool IsReporterImage(const XStringW& imageName);

// The file name of the image a process runs, empty when it cannot be had (under Wine, not yet for
// a process that is still starting).
XStringW ImageNameOf(HANDLE process);

// The crash reporters of the table: their ids, in list order. Three lookups in the table, so a
// table without a reporter costs nothing more.
std::vector<DWORD> Find(const ProcessTable& processes);

// The process a reporter's command line names, 0 when it names none: "-p <pid>" or "/p <pid>"
// for Windows Error Reporting (imageName WerFault.exe or WerFaultSecure.exe), "--auto <pid>" for
// winedbg.exe.
DWORD CrashedProcessNamed(const XStringW& imageName, const XStringW& commandLine);

// A reporter opened by its id. The id may have been given to another process since the table was
// taken: the handle is kept only for a process that runs a reporter's image, and the command line
// read through it is that process's own.
struct Reporter {
    DWORD processId = 0;
    DWORD crashedProcessId = 0;  // 0: its command line could not be read or names none
    ScopedHandle process;        // may end it
};
Reporter Open(DWORD processId);

// The command line of another process; false (traced) when it cannot be read.
bool ReadCommandLine(HANDLE process, XStringW& commandLine);

}  // namespace crash_reporters
