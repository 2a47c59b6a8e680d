#include "process/ProcessTable.h"

#include <winternl.h>

#include <algorithm>

#include "process/Sessions.h"
#include "strings/CaseFold.h"
#include "trace/Trace.h"

namespace {

constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
// Room for a few hundred processes; the list says how much more it needs.
constexpr ULONG kFirstListBytes = 256 * 1024;
constexpr int kListAttempts = 4;

using QuerySystemInformation = NTSTATUS(NTAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);

QuerySystemInformation QueryFunction()
{
    static const QuerySystemInformation query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"),
                                                 "NtQuerySystemInformation")));
    return query;
}

// The system's process list: the same records a tool-help snapshot is made of, with the session
// of every process, which a tool-help entry lacks. Empty when it cannot be had.
std::vector<unsigned char> ReadProcessList(NTSTATUS& status)
{
    std::vector<unsigned char> buffer;
    status = static_cast<NTSTATUS>(0xC0000002);  // not implemented
    const QuerySystemInformation query = QueryFunction();
    if (query == nullptr) {
        return buffer;
    }
    ULONG needed = kFirstListBytes;
    for (int attempt = 0; attempt < kListAttempts; ++attempt) {
        // Processes may start between the two calls: some room to spare.
        buffer.resize(needed + needed / 4);
        needed = 0;
        status = query(SystemProcessInformation, buffer.data(),
                                      static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) {
            return buffer;
        }
        if (status != kInfoLengthMismatch) {
            break;
        }
        needed = std::max<ULONG>(needed, static_cast<ULONG>(buffer.size()) * 2);
    }
    buffer.clear();
    return buffer;
}

}  // namespace

ProcessTable::SessionOfProcess ProcessTable::sessionOf = nullptr;

ProcessTable ProcessTable::Take(DWORD sessionId)
{
    ProcessTable table;
    NTSTATUS status = 0;
    const std::vector<unsigned char> list = ReadProcessList(status);
    if (list.empty()) {
        TraceError("ProcessTable::Take", __LINE__, L"no process list (status 0x%08x)",
                   static_cast<int>(status));
        return table;
    }
    table.taken = true;
    for (size_t offset = 0;;) {
        const auto* const entry = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(&list[offset]);
        const DWORD processId =
            static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId));
        const DWORD session =
            sessionOf != nullptr ? sessionOf(processId, entry->SessionId) : entry->SessionId;
        // The idle process has no image name.
        if (entry->ImageName.Buffer != nullptr &&
            (sessionId == kEverySession || session == sessionId)) {
            table.idsByName[FoldCase(entry->ImageName.Buffer, entry->ImageName.Length / sizeof(wchar_t))]
                .push_back(processId);
            table.createdAtById[processId] = static_cast<ULONGLONG>(entry->CreateTime.QuadPart);
        }
        if (entry->NextEntryOffset == 0 || offset + entry->NextEntryOffset >= list.size()) {
            break;
        }
        offset += entry->NextEntryOffset;
    }
    return table;
}

ProcessTable ProcessTable::TakeForActiveSession()
{
    return TakeForSession(FindActiveSessionId());
}

ProcessTable ProcessTable::TakeForSession(DWORD activeSessionId)
{
    return Take(activeSessionId == 0 ? kEverySession : activeSessionId);
}

ProcessTable ProcessTable::TakeForOwnSession()
{
    DWORD sessionId = 0;
    return Take(FindOwnSessionId(sessionId) ? sessionId : kEverySession);
}

bool ProcessTable::IsRunning(const XStringW& imageName) const
{
    return idsByName.find(FoldCase(imageName.GetString())) != idsByName.end();
}

ULONGLONG ProcessTable::CreationTime(DWORD processId) const
{
    const auto found = createdAtById.find(processId);
    return found != createdAtById.end() ? found->second : 0;
}

void ProcessTable::Add(const XStringW& imageName, DWORD processId, ULONGLONG createdAt)
{
    taken = true;
    idsByName[FoldCase(imageName.GetString())].push_back(processId);
    createdAtById[processId] = createdAt;
}

XStringWList ProcessTable::FindIds(const XStringW& imageName) const
{
    XStringWList processIds;
    const auto found = idsByName.find(FoldCase(imageName.GetString()));
    if (found == idsByName.end()) {
        return processIds;
    }
    for (const DWORD id : found->second) {
        XStringW processId;
        processId.Format(L"%d", static_cast<int>(id));
        if (processIds.Find(processId) < 0) {
            processIds.Add(processId);
        }
    }
    return processIds;
}
