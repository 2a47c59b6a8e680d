#pragma once
// One spelling of a program's exit code and of the reasons a start fails, for the list, the
// trace and the event log alike.

#include <windows.h>

#include "strings/XStringW.h"

// cmd.exe ends with this code when it cannot find the program it was to run.
constexpr DWORD kCommandNotFoundExitCode = 9009;

// Codes from 0xC0000000 up are status values: "0xC0000005 (access violation)", in hexadecimal
// with a short name where one is known. Every other code in decimal, as a program returns it:
// "7", "9009".
XStringW ExitCodeText(DWORD exitCode);

// Whether a program that ended with this code crashed: an exception ended it (a status from
// 0xC0000000 up).
bool IsCrashExitCode(DWORD exitCode);

// How a crash is named: "crashed: 0xC0000005 (access violation)", or, for a crash that a crash
// reporter held until the service ended it (its exception's code is not known),
// "crashed (held by the crash reporter, ended)".
XStringW CrashText(DWORD exitCode, bool heldByReporter);

// Why a start failed, in a few words, given the launch's system error: "program not found",
// "directory not found", "access denied", "command line too long"; empty for an error without
// words of its own.
XStringW StartFailureWords(DWORD launchError);
