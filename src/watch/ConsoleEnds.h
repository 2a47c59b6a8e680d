#pragma once
// Ending the consoles (cmd.exe) the service started a program through, once the program is up.
// A console is ended through the process handle it was created with, so that no other process
// that was given its id since can be hit. Ends that are not due yet wait here for a later pass.

#include <windows.h>

#include <vector>

#include "common/ScopedHandle.h"

class ConsoleEnds {
public:
    static constexpr ULONGLONG kNone = ~0ULL;

    // Ends the console now; one without a handle (a stand-in launcher) is left running rather
    // than ended by an id alone.
    static void EndNow(DWORD consoleId, const ScopedHandle& console);
    void EndAt(ULONGLONG endAt, DWORD consoleId, ScopedHandle console);
    // Ends the consoles due at now, or every one when all is set.
    void EndDue(ULONGLONG now, bool all = false);
    // Until the earliest end falls due; kNone when none waits.
    ULONGLONG MsUntilNext(ULONGLONG now) const;

private:
    struct Pending {
        ULONGLONG endAt = 0;
        DWORD consoleId = 0;
        ScopedHandle console;
    };
    std::vector<Pending> pending;
};
