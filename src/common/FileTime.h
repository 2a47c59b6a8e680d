#pragma once
// Two 32-bit halves as one 64-bit value: file sizes and file times come that way.

#include <windows.h>

inline ULONGLONG CombineHalves(DWORD high, DWORD low)
{
    return (static_cast<ULONGLONG>(high) << 32) | low;
}

// File times count 100-nanosecond ticks.
constexpr ULONGLONG kFileTimeTicksPerMs = 10000;

// A file time in 100-nanosecond ticks since 1601 (UTC).
inline ULONGLONG FileTimeValue(const FILETIME& time)
{
    return CombineHalves(time.dwHighDateTime, time.dwLowDateTime);
}
