#pragma once
// What the watch engine asks of the system that in-process tests and the benchmark replace: the
// clocks, the program's folder, the launcher and the process list. The service always runs with
// these defaults.

#include <windows.h>

#include "common/ScopedHandle.h"
#include "paths/ModulePaths.h"
#include "process/ProcessTable.h"
#include "service/CWindowService.h"
#include "service/UserLogon.h"
#include "strings/XStringW.h"

struct WatchSeams {
    using TickCountFunc = DWORD(WINAPI*)();
    using ClockFunc = ULONGLONG(WINAPI*)();
    using DirectoryFunc = XStringW (*)();
    // Starts the program with the logon's session and user; called on several threads at once.
    using LaunchFunc = DWORD (*)(UserLogon& logon, const XStringW& path,
                                 const XStringW& arguments, const XStringW& directory,
                                 ScopedHandle* console);
    // Given the active session the pass found (0: none).
    using ProcessTableFunc = ProcessTable (*)(DWORD activeSessionId);

    TickCountFunc tickCount = &::GetTickCount;
    ClockFunc clock = &::GetTickCount64;
    DirectoryFunc moduleDirectory = &GetModuleDirectory;
    LaunchFunc launcher = &CWindowService::RunAdminProcessByLogonSession;
    ProcessTableFunc takeProcessTable = &ProcessTable::TakeForSession;
    // Long enough for cmd.exe to have started a program that comes up at once.
    DWORD programStartWaitMs = 1000;
};
