#pragma once
// The command line: start-up, then one of the command forms, then the process ends.

#include <vector>

#include "strings/XStringW.h"

// The process exit codes.
enum ExitCode : int {
    kExitSuccess = 0,
    kExitInitFailed = 1,     // the application could not be initialised
    kExitUsage = 2,          // no command form matches the arguments
    kExitInvalidName = 3,    // an entry name that is no file name
    kExitNoSuchEntry = 4,    // pause, restart or remove of a name that is not on the list
    kExitFailed = 5,         // the registry or the service manager refused the operation
    kExitDuplicate = 6,      // another instance runs in this session
};

// The whole program behind main; returns the process exit code.
int QuorbelMain(int argc, char** argv);

// Finds the command word among the arguments (the program first), runs it and returns the exit
// code.
int DispatchCommand(const std::vector<XStringW>& arguments);

// What a command line is, as far as the single-instance guard goes.
enum class RunForm {
    kService,   // the service itself, as the service control manager starts it: its own guard
    kLogonRun,  // no arguments: the restart of paused entries at a logon; silent, guarded
    kWriting,   // a word that may change something: guarded
    kReadOnly,  // list, check, version, svc status, help and usage errors: no guard
};
RunForm FormOf(const std::vector<XStringW>& arguments);
