#pragma once
// What the list, list -v, list --json and check forms tell, gathered in one place: the service's
// state, the interval in effect, and per entry its settings and what is known of its program.

#include <windows.h>

#include <vector>

#include "config/AliveCheck.h"
#include "config/EntryStateStore.h"
#include "config/MachinePolicy.h"
#include "config/WatchListView.h"
#include "strings/XStringW.h"

// Whether an entry's program runs, as the list tells it.
enum class RunState { kRunning, kBackingOff, kNotRunning };

struct EntryReport {
    XStringW name;
    XStringW path;          // the Path as the service reads it; meaningful when hasPath
    bool hasPath = false;   // a REG_SZ Path is there
    XStringW arguments;     // the Arguments, empty when none
    XStringW directory;     // the Directory, empty when none (the program's own folder)
    EntrySource source = EntrySource::kUser;
    XStringW statusText;    // the Status value as stored
    bool active = true;     // as the service reads the Status: only one reading 0 pauses
    bool pastWatchedCap = false;  // active, but past the entries the service watches

    bool published = false;  // the service published a state for the entry since the last boot
    EntryState state;        // what it published

    RunState run = RunState::kNotRunning;
    DWORD processId = 0;     // the running process shown, 0 when none
    ULONGLONG startedAt = 0; // its creation time (FILETIME, UTC), 0 when unknown
    DWORD nextStartInSeconds = 0;  // while backing off
    XStringW failure;        // why the last start failed, in words with the code; empty if none
    // Set by the hang watch: the program was ended as not responding within the last interval.
    bool endedNotResponding = false;
    DWORD hangTimeoutSeconds = 0;  // the hang watch's timeout, 0 when it has none
    alive_check::Check alive;      // the entry's liveness check, none when it has none
    // The service's last look found the check failing while the program runs.
    bool AliveFailing() const
    {
        return alive.IsSet() && run == RunState::kRunning && published && state.aliveKnown &&
               !state.aliveGood;
    }
};

struct ListReport {
    bool serviceQueried = false;   // false: the service manager could not be asked
    bool serviceInstalled = false;
    DWORD serviceState = 0;        // a SERVICE_* state while installed
    DWORD intervalMs = 0;          // in effect
    XStringW intervalText;         // as set, empty when not set
    bool intervalAdjusted = false; // a number outside the bounds
    bool intervalNotANumber = false;
    bool anyPublished = false;
    // Entries have a hang timeout, but no companion asked the service for them within a minute.
    bool companionMissing = false;
    std::vector<EntryReport> entries;
    // Values of the machine policy that the service does not take, named below the policy key
    // ("Programs\\kiosk.exe", "Interval"), with the reason.
    std::vector<RefusedPolicyProgram> policyRefusals;

    bool ServiceRuns() const { return serviceInstalled && serviceState == SERVICE_RUNNING; }
};

ListReport GatherListReport(const XStringW& serviceName);

// "running", "stopped", "not installed", or the pending state's words.
XStringW ServiceStateWords(const ListReport& report);

// check's exit code while an active entry is in trouble.
constexpr int kExitCheckTrouble = 1;

enum class ListView { kText, kVerbose, kJson };
