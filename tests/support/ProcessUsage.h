#pragma once
// What this process holds: handles, private bytes and heap bytes in use. For the leak tests and
// the benchmark, which compare them before and after many passes.

#include <windows.h>

namespace testing_support {

struct ProcessUsage {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
    SIZE_T workingSetBytes = 0;
    SIZE_T heapBytes = 0;
};

ProcessUsage CurrentUsage();

}  // namespace testing_support
