#include "process/CWinHelper.h"

#include <tlhelp32.h>

#include "common/ScopedHandle.h"
#include "trace/Trace.h"

namespace {

#if defined(_WIN64)
static_assert(sizeof(PROCESSENTRY32W) == 568, "PROCESSENTRY32W of the 64-bit platform");
#else
static_assert(sizeof(PROCESSENTRY32W) == 556, "PROCESSENTRY32W of the 32-bit platform");
#endif

// What a process that KillProcess ends reports as its exit code.
constexpr UINT kKilledExitCode = 1;

// Calls visit(entry) for every process of a fresh snapshot, in snapshot order, until it returns
// false. Returns false when no snapshot could be taken or its first entry could not be read.
template <typename Visit>
bool ForEachProcess(Visit visit)
{
    const ScopedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        return false;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    if (!::Process32FirstW(snapshot.Get(), &entry)) {
        return false;
    }
    do {
        if (!visit(entry)) {
            break;
        }
    } while (::Process32NextW(snapshot.Get(), &entry));
    return true;
}

bool SameNameIgnoringCase(const wchar_t* left, const XStringW& right)
{
    return ::CompareStringOrdinal(left, -1, right.GetString(), -1, TRUE) == CSTR_EQUAL;
}

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

bool IsProcessRunning(const XStringW& imageName)
{
    bool running = false;
    ForEachProcess([&](const PROCESSENTRY32W& entry) {
        running = (imageName == entry.szExeFile);
        return !running;
    });
    return running;
}

XStringWList FindProcessIds(const XStringW& imageName)
{
    XStringWList processIds;
    ForEachProcess([&](const PROCESSENTRY32W& entry) {
        if (imageName == entry.szExeFile) {
            XStringW processId;
            processId.Format(L"%d", static_cast<int>(entry.th32ProcessID));
            if (processIds.Find(processId) < 0) {
                processIds.Add(processId);
            }
        }
        return true;
    });
    return processIds;
}

bool CWinHelper::KillProcess(const XStringW& imageName)
{
    if (imageName.IsEmpty()) {
        return false;
    }
    return KillMatchingProcesses([&](const PROCESSENTRY32W& entry) {
        return SameNameIgnoringCase(entry.szExeFile, imageName);
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
