#pragma once
// Where XThread::Start creates its thread and clears the quit event of an earlier run. Tests put
// a creator here that fails, to see what the service does with a worker that never started, and a
// reset that lets a quit request arrive just as Start clears the old one.

#include <windows.h>

#include <cstdint>

namespace thread_creation {

using BeginThreadFunction = uintptr_t(__cdecl*)(void* security, unsigned stackSize,
                                                unsigned(__stdcall* procedure)(void*),
                                                void* argument, unsigned flags, unsigned* threadId);

// ::_beginthreadex unless a test put its own here.
extern BeginThreadFunction beginThread;

using ResetEventFunction = BOOL(WINAPI*)(HANDLE event);

// ::ResetEvent unless a test put its own here.
extern ResetEventFunction resetQuitEvent;

}  // namespace thread_creation
