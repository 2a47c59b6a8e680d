#pragma once
// Process utilities over a tool-help snapshot. Image names are file names, so they are matched
// as Windows matches file names: ordinally, ignoring letter case.

#include <windows.h>

#include "strings/XStringW.h"
#include "strings/XStringWList.h"

// Whether two image names (or any two file names) are the same file name.
bool SameImageName(const wchar_t* left, const wchar_t* right);

bool IsProcessRunning(const XStringW& imageName);
// Ids ("%d" texts) of every process with that image name, each once, in snapshot order.
XStringWList FindProcessIds(const XStringW& imageName);

// What a kill came to. A process that ended before it could be opened is not counted.
struct KillResult {
    int matched = 0;              // processes that matched and still ran
    int terminated = 0;           // of those, the ones the system terminated
    DWORD error = ERROR_SUCCESS;  // why the first refused one was not terminated
    int Refused() const { return matched - terminated; }
    // True when at least one process was terminated.
    explicit operator bool() const { return terminated > 0; }
};

// The termination call, a seam for in-process tests of a refused termination.
namespace process_seam {
using TerminateFunction = BOOL(WINAPI*)(HANDLE process, UINT exitCode);
extern TerminateFunction terminateProcess;
}  // namespace process_seam

class CWinHelper {
public:
    // Terminates every process whose image name matches.
    static KillResult KillProcess(const XStringW& imageName);
    static KillResult KillProcess(DWORD processId);
};
