#pragma once
// The trace calls every part of the program uses. TraceLog and TraceError write only when
// "trace.txt" stood beside the executable at start-up; TraceFatal always writes.
//
//   TraceLog("CRegHelper::GetValue", __LINE__, L"RegOpenKeyEx(GetLastError:%d)", error);
//
// The function name is taken as the caller's narrow text and converted only when a line is
// written, so that a call while tracing is off costs the on/off test and nothing more.

#include <windows.h>

#include "strings/XStringA.h"
#include "strings/XStringW.h"

constexpr int TRACE_CHANNEL = 1000;

void InitTrace();

// True when ordinary and error lines are written (channel 1000 at level 1 or above).
bool IsTraceOn();

void TraceWrite(const char* functionName, int line, bool error, const wchar_t* format, ...);
void TraceFatalWrite(const char* functionName, int line, const wchar_t* format, ...);

template <typename... Args>
void TraceLog(const char* functionName, int line, const wchar_t* format, const Args&... args)
{
    if (IsTraceOn()) {
        TraceWrite(functionName, line, false, format, format_detail::Arg(args)...);
    }
}

template <typename... Args>
void TraceError(const char* functionName, int line, const wchar_t* format, const Args&... args)
{
    if (IsTraceOn()) {
        TraceWrite(functionName, line, true, format, format_detail::Arg(args)...);
    }
}

template <typename... Args>
void TraceFatal(const char* functionName, int line, const wchar_t* format, const Args&... args)
{
    TraceFatalWrite(functionName, line, format, format_detail::Arg(args)...);
}

// For helpers that pass on a name they were given as an XStringA.
template <typename... Args>
void TraceLog(const XStringA& functionName, int line, const wchar_t* format, const Args&... args)
{
    TraceLog(functionName.GetString(), line, format, args...);
}

template <typename... Args>
void TraceError(const XStringA& functionName, int line, const wchar_t* format, const Args&... args)
{
    TraceError(functionName.GetString(), line, format, args...);
}

template <typename... Args>
void TraceFatal(const XStringA& functionName, int line, const wchar_t* format, const Args&... args)
{
    TraceFatal(functionName.GetString(), line, format, args...);
}
