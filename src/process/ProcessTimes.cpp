#include "process/ProcessTimes.h"

#include "common/FileTime.h"
#include "common/ScopedHandle.h"

bool ProcessCreationTime(DWORD processId, ULONGLONG& createdAt)
{
    if (processId == 0) {
        return false;
    }
    const ScopedHandle process(
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) {
        return false;
    }
    // A handle still opens a process that has ended while others hold it open.
    DWORD exitCode = 0;
    if (!::GetExitCodeProcess(process.Get(), &exitCode) || exitCode != STILL_ACTIVE) {
        return false;
    }
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!::GetProcessTimes(process.Get(), &created, &exited, &kernel, &user)) {
        return false;
    }
    createdAt = FileTimeValue(created);
    return true;
}

bool IsSameProcessRunning(DWORD processId, ULONGLONG createdAt)
{
    ULONGLONG actual = 0;
    return createdAt != 0 && ProcessCreationTime(processId, actual) && actual == createdAt;
}
