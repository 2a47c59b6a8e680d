#include "ProcessUsage.h"

#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <vector>

namespace testing_support {

namespace {

// Wine answers GetProcessHandleCount with 0; its system handle table does list every handle of
// the process, so the entries owned by this process are counted instead.
DWORD HandleCount()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) {
        return count;
    }
    using QueryFunc = LONG(NTAPI*)(SYSTEM_INFORMATION_CLASS, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<QueryFunc>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr) {
        return 0;
    }
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<BYTE> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        const LONG status = query(SystemHandleInformation, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status < 0) {
            return 0;
        }
        break;
    }
    const auto* table = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
    for (ULONG i = 0; i < table->Count; ++i) {
        if (table->Handle[i].OwnerPid == GetCurrentProcessId()) {
            ++count;
        }
    }
    return count;
}

PROCESS_MEMORY_COUNTERS_EX MemoryCounters()
{
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    K32GetProcessMemoryInfo(GetCurrentProcess(),
                            reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                            sizeof(counters));
    return counters;
}

// The bytes in the busy blocks of every heap of the process: finer than private bytes, which
// grow by whole pages.
SIZE_T HeapBytesInUse()
{
    std::vector<HANDLE> heaps(256);
    const DWORD count = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
    SIZE_T total = 0;
    for (DWORD i = 0; i < count && i < heaps.size(); ++i) {
        HeapLock(heaps[i]);
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heaps[i], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
                total += entry.cbData;
            }
        }
        HeapUnlock(heaps[i]);
    }
    return total;
}

}  // namespace

ProcessUsage CurrentUsage()
{
    ProcessUsage usage;
    usage.handles = HandleCount();
    const PROCESS_MEMORY_COUNTERS_EX counters = MemoryCounters();
    // Wine leaves PrivateUsage at 0 but keeps PagefileUsage, which Windows reports as the same
    // value.
    usage.privateBytes = counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
    usage.workingSetBytes = counters.WorkingSetSize;
    usage.heapBytes = HeapBytesInUse();
    return usage;
}

}  // namespace testing_support
