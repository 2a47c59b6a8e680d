#pragma once
// The command line's answers to whoever started it. The executable belongs to the GUI subsystem,
// so it has standard handles only when they were redirected (or Wine runs it from a terminal);
// otherwise it borrows the console of the process that started it, and without one it stays
// silent.
//
// Results go to standard output and errors and warnings to standard error, so that what a script
// reads from standard output (list --json) is the result or nothing.

#include "strings/XStringW.h"

// Writes the text followed by a line break: to standard output, or to standard error.
void WriteOutputLine(const XStringW& text);
void WriteErrorLine(const XStringW& text);

// One answer line from a fixed text, or from a format and its arguments.
inline void Say(const wchar_t* text) { WriteOutputLine(XStringW(text)); }

template <typename... Args>
void Say(const wchar_t* format, const Args&... args)
{
    XStringW text;
    text.Format(format, args...);
    WriteOutputLine(text);
}

// One error or warning line, to standard error.
inline void SayError(const wchar_t* text) { WriteErrorLine(XStringW(text)); }

template <typename... Args>
void SayError(const wchar_t* format, const Args&... args)
{
    XStringW text;
    text.Format(format, args...);
    WriteErrorLine(text);
}
