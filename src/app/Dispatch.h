#pragma once
// The command line: start-up, then one of the command forms, then the process ends.

#include "strings/XStringW.h"

// The whole program behind main; returns the process exit code.
int QuorbelMain(int argc, char** argv);

// Sorts the arguments into the command forms and runs the one that matches.
void DispatchCommand(int argc, char** argv);

void AddService(const XStringW& path, const XStringW& entryName);
void RunService();
