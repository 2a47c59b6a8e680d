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

class CWinHelper {
public:
    // Terminates every process whose image name matches.
    static bool KillProcess(const XStringW& imageName);
    static bool KillProcess(DWORD processId);
};
