#include "process/CWinHelper.h"

#include "common/ScopedHandle.h"
#include "process/ProcessSnapshot.h"
#include "process/ProcessTable.h"
#include "trace/Trace.h"

namespace {

// What a process that KillProcess ends reports as its exit code.
constexpr UINT kKilledExitCode = 1;

// A process that cannot be opened (gone already, or no rights) is skipped.
void TerminateProcessById(DWORD processId)
{
    const ScopedHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, processId));
    if (process) {
        ::TerminateProcess(process.Get(), kKilledExitCode);
    }
}

// Terminates every process of the snapshot that matches; true when at least one matched.
template <typename Matches>
bool KillMatchingProcesses(Matches matches)
{
    bool found = false;
    const bool walked = ForEachProcess([&](const PROCESSENTRY32W& entry) {
        if (matches(entry)) {
            found = true;
            TraceLog("CWinHelper::KillProcess", __LINE__, L"Process Found = %s", entry.szExeFile);
            TerminateProcessById(entry.th32ProcessID);
        }
        return true;
    });
    if (!walked) {
        TraceError("CWinHelper::KillProcess", __LINE__, L"Process32First fail");
    }
    return found;
}

}  // namespace

bool SameImageName(const wchar_t* left, const wchar_t* right)
{
    return ::CompareStringOrdinal(left, -1, right, -1, TRUE) == CSTR_EQUAL;
}

bool IsProcessRunning(const XStringW& imageName)
{
    return ProcessTable::Take().IsRunning(imageName);
}

XStringWList FindProcessIds(const XStringW& imageName)
{
    return ProcessTable::Take().FindIds(imageName);
}

bool CWinHelper::KillProcess(const XStringW& imageName)
{
    if (imageName.IsEmpty()) {
        return false;
    }
    return KillMatchingProcesses([&](const PROCESSENTRY32W& entry) {
        return SameImageName(entry.szExeFile, imageName.GetString());
    });
}

bool CWinHelper::KillProcess(DWORD processId)
{
    if (processId == 0) {
        return false;
    }
    return KillMatchingProcesses(
        [&](const PROCESSENTRY32W& entry) { return entry.th32ProcessID == processId; });
}
