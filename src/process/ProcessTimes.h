#pragma once
// When a process was created: with its id, the one fact that tells a process from a later one
// that was given the same id.

#include <windows.h>

// The creation time (a FILETIME value, UTC) of the process with that id while it still runs;
// false when there is no such process, it has ended, or it cannot be asked.
bool ProcessCreationTime(DWORD processId, ULONGLONG& createdAt);

// Whether the process with that id still runs and was created at that time.
bool IsSameProcessRunning(DWORD processId, ULONGLONG createdAt);
