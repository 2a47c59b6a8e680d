#pragma once
// Where XThread::Start creates its thread. Tests put a creator here that fails, to see what the
// service does with a worker that never started.

#include <cstdint>

namespace thread_creation {

using BeginThreadFunction = uintptr_t(__cdecl*)(void* security, unsigned stackSize,
                                                unsigned(__stdcall* procedure)(void*),
                                                void* argument, unsigned flags, unsigned* threadId);

// ::_beginthreadex unless a test put its own here.
extern BeginThreadFunction beginThread;

}  // namespace thread_creation
