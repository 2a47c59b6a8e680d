#pragma once
// Process start-up: the stand-in for the application framework's initialisation, and the
// single-instance guard.

#include "strings/XStringW.h"

// Initialises the application object; false when that fails. Its name is the executable's
// file name without directory and extension ("QuorbelService").
bool InitApplication();
XStringW GetApplicationName();

// What claiming the tool's guard found.
enum class GuardClaim {
    kClaimed,     // this process holds it now
    kHeldByTool,  // another process of this tool holds it
    kNoGuard,     // something that is not this tool holds it: it guards nothing
};

// Creates the event named after the application, for this user at this process's integrity. The
// handle is kept until the process ends. An event of that name that is there already counts only
// when another process of this tool (the .exe or the .com) runs in this session and the event
// is neither another user's nor of a lower integrity; otherwise why says what holds it.
GuardClaim ClaimSingleInstance(XStringW& why);
// The service's own guard, an event of the same name that only the local system and the
// administrators may open. One made first by another process is reported to the event log and
// the trace; the service runs all the same, without delay.
void ClaimServiceInstance();
