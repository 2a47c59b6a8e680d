#pragma once
// Process start-up: the stand-in for the application framework's initialisation, and the
// single-instance guard.

#include "strings/XStringW.h"

// Initialises the application object; false when that fails. Its name is the executable's
// file name without directory and extension ("QuorbelService").
bool InitApplication();
XStringW GetApplicationName();

// Creates the event named after the application. False when another process of this session
// holds it already. The handle is kept until the process ends.
bool ClaimSingleInstance();
// The service's own guard, an event of the same name that only the local system and the
// administrators may open. One made first by another process is reported to the event log and
// the trace; the service runs all the same, without delay.
void ClaimServiceInstance();
