#pragma once
// Process utilities over a tool-help snapshot. Image names are compared exactly and
// case-sensitively, except by KillProcess by name, which ignores letter case.

#include <windows.h>

#include "strings/XStringW.h"
#include "strings/XStringWList.h"

bool IsProcessRunning(const XStringW& imageName);
// Ids ("%d" texts) of every process with exactly that image name, each once, in snapshot order.
XStringWList FindProcessIds(const XStringW& imageName);

class CWinHelper {
public:
    // Terminates every process whose image name matches, letter case ignored.
    static bool KillProcess(const XStringW& imageName);
    static bool KillProcess(DWORD processId);
};
