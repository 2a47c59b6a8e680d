#pragma once
// Programs and settings an administrator sets for the whole machine by policy (Group Policy,
// Intune, or any tool that writes the policy key):
//
//   HKLM\SOFTWARE\Policies\QUORBEL\QuorbelService
//       Interval     REG_DWORD  ms between passes, in place of the users' own Interval
//       HangTimeout  REG_DWORD  s, the hang timeout of the programs set by policy (0: none)
//       UserLists    REG_DWORD  0: the users' own watch lists are not watched
//   each of the three also as REG_SZ decimal digits, as a user's own values are read
//   ...\QuorbelService\Programs
//       <entry name> REG_SZ or REG_EXPAND_SZ  "<absolute path>" arguments
//   ...\QuorbelService\AliveChecks
//       <entry name> REG_SZ or REG_EXPAND_SZ  the program's liveness check: "file PATH",
//                                             "port PORT" or "url URL" (see AliveCheck.h)
//
// Policy programs run for whoever is logged on, beside that user's own list; a policy entry wins
// over a user entry of the same name. %NAME% in a command line is left as it is, to be expanded
// with the user's environment when the program starts, as in the user's own list.

#include <windows.h>

#include <vector>

#include "config/AliveCheck.h"
#include "strings/XStringW.h"

struct PolicyProgram {
    XStringW name;         // the value's name: the entry name, the program's file name
    XStringW path;         // the program's path, without quotes
    XStringW arguments;    // the rest of the command line, as written
    XStringW commandLine;  // the value as written
    alive_check::Check alive;  // from AliveChecks; none when it names none

    bool operator==(const PolicyProgram& other) const;
};

// A value of the Programs key that is no program to start, or a setting of the policy key that
// was not taken, and why.
struct RefusedPolicyProgram {
    XStringW name;
    XStringW reason;

    bool operator==(const RefusedPolicyProgram& other) const;
};

struct MachinePolicy {
    std::vector<PolicyProgram> programs;  // in the order the registry lists the values
    std::vector<RefusedPolicyProgram> refused;
    // Interval, HangTimeout or UserLists values that were not taken, each by its value name.
    std::vector<RefusedPolicyProgram> refusedSettings;
    bool hasInterval = false;
    DWORD intervalMs = 0;
    XStringW intervalText;  // the Interval in decimal, as set: the bounds are the reader's
    bool hasHangTimeout = false;
    DWORD hangTimeoutSeconds = 0;
    bool userListsWatched = true;  // UserLists absent, or any value but 0

    bool operator==(const MachinePolicy& other) const;
    bool operator!=(const MachinePolicy& other) const { return !(*this == other); }

    // The policy program of that name (in any letter case); nullptr when there is none.
    const PolicyProgram* Find(const XStringW& name) const;
    // The hang timeout of the programs set by policy as the hang watch uses it: within its
    // bounds, 0 for none.
    DWORD HangTimeoutInUse() const;
};

namespace machine_policy {

// Below HKEY_LOCAL_MACHINE.
constexpr const wchar_t* kKeyPath = L"SOFTWARE\\Policies\\QUORBEL\\QuorbelService";
constexpr const wchar_t* kProgramsSubKey = L"Programs";
constexpr const wchar_t* kAliveChecksSubKey = L"AliveChecks";
constexpr const wchar_t* kIntervalValue = L"Interval";
constexpr const wchar_t* kHangTimeoutValue = L"HangTimeout";
constexpr const wchar_t* kUserListsValue = L"UserLists";

// The machine's policy; empty (no programs, nothing set) when there is no policy key.
MachinePolicy Read();
// The same from any key, for tests.
MachinePolicy ReadFrom(HKEY root, const XStringW& keyPath);

// Splits a policy command line into the program's path and its arguments: a path that holds a
// blank is quoted, the arguments follow after white space. The path must be absolute (or start
// with a %NAME% that is), end in .exe and have the entry name as its file name. False with the
// reason when the command line is refused.
bool SplitCommandLine(const XStringW& entryName, const XStringW& commandLine,
                      PolicyProgram& program, XStringW& reason);

}  // namespace machine_policy
