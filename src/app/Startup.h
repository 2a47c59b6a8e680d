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
