#include "process/CWinHelper.h"

#include "common/ScopedHandle.h"
#include "process/ProcessSnapshot.h"
#include "process/ProcessTable.h"
#include "strings/CaseFold.h"
#include "trace/Trace.h"

namespace {

// What a process that KillProcess ends reports as its exit code.
constexpr UINT kKilledExitCode = 1;

// Counts the process into the result: terminated, refused (no rights, or the termination
// failed), or not counted at all when it ended before it could be opened.
void TerminateProcessById(const PROCESSENTRY32W& entry, KillResult& result)
{
    const ScopedHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
    DWORD error = ERROR_SUCCESS;
    if (!process) {
        error = ::GetLastError();
        if (error == ERROR_INVALID_PARAMETER) {
            return;  // no process has that id any more
        }
    } else if (!process_seam::terminateProcess(process.Get(), kKilledExitCode)) {
        error = ::GetLastError();
    }
    ++result.matched;
    if (error == ERROR_SUCCESS) {
        ++result.terminated;
        return;
    }
    if (result.error == ERROR_SUCCESS) {
        result.error = error;
    }
    TraceError("CWinHelper::KillProcess", __LINE__, L"%s (%d) not terminated, error %u",
               entry.szExeFile, entry.th32ProcessID, error);
}

// Terminates every process of the snapshot that matches.
template <typename Matches>
KillResult KillMatchingProcesses(Matches matches)
{
    KillResult result;
    const bool walked = ForEachProcess([&](const PROCESSENTRY32W& entry) {
        if (matches(entry)) {
            TraceLog("CWinHelper::KillProcess", __LINE__, L"Process Found = %s", entry.szExeFile);
            TerminateProcessById(entry, result);
        }
        return true;
    });
    if (!walked) {
        TraceError("CWinHelper::KillProcess", __LINE__, L"Process32First fail");
    }
    return result;
}

}  // namespace

namespace process_seam {
TerminateFunction terminateProcess = ::TerminateProcess;
}  // namespace process_seam

bool SameImageName(const wchar_t* left, const wchar_t* right)
{
    return SameIgnoringCase(left, right);
}

bool IsProcessRunning(const XStringW& imageName)
{
    return ProcessTable::Take().IsRunning(imageName);
}

XStringWList FindProcessIds(const XStringW& imageName)
{
    return ProcessTable::Take().FindIds(imageName);
}

KillResult CWinHelper::KillProcess(const XStringW& imageName)
{
    if (imageName.IsEmpty()) {
        return KillResult();
    }
    return KillMatchingProcesses([&](const PROCESSENTRY32W& entry) {
        return SameImageName(entry.szExeFile, imageName.GetString());
    });
}

KillResult CWinHelper::KillProcess(DWORD processId)
{
    if (processId == 0) {
        return KillResult();
    }
    return KillMatchingProcesses(
        [&](const PROCESSENTRY32W& entry) { return entry.th32ProcessID == processId; });
}
