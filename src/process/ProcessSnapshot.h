#pragma once
// The walk over a tool-help process snapshot that every process utility shares.

#include <windows.h>
#include <tlhelp32.h>

#include "common/ScopedHandle.h"

#if defined(_WIN64)
static_assert(sizeof(PROCESSENTRY32W) == 568, "PROCESSENTRY32W of the 64-bit platform");
#else
static_assert(sizeof(PROCESSENTRY32W) == 556, "PROCESSENTRY32W of the 32-bit platform");
#endif

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
