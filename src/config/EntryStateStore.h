#pragma once
// What the service last knew of each entry it watches, published where the command line can read
// it: HKEY_LOCAL_MACHINE\SOFTWARE\QUORBEL\QuorbelService\State\<SID>\<entry>. The keys from State
// down are volatile, so nothing of it outlives a restart of the machine; they lie outside the
// user's own watch list, so that publishing never looks like an edit of the list.

#include <windows.h>

#include <utility>
#include <vector>

#include "strings/XStringW.h"
#include "strings/XStringWList.h"

// Times are FILETIMEs in UTC; 0 means "none".
struct EntryState {
    DWORD processId = 0;        // the program's process as last seen running, 0 when none
    ULONGLONG startedAt = 0;    // when the service last started the program (or first saw it)
    bool hasExit = false;       // an exit was seen since the service started
    DWORD exitCode = 0;
    ULONGLONG exitedAt = 0;
    DWORD quickExits = 0;       // quick exits in a row
    ULONGLONG nextStartAt = 0;  // no start before this time
    DWORD restarts = 0;         // starts after the first
    ULONGLONG processCreatedAt = 0;  // the creation time of processId's process
    DWORD startError = 0;       // why the last launch failed, 0 when it did not
    ULONGLONG notRespondingAt = 0;  // last ended because no window of it answered
    DWORD notRespondingSeconds = 0; // for how long none had answered then
    XStringW notRespondingReason;   // ended by its liveness check: what failed; empty otherwise
    bool aliveKnown = false;        // its liveness check was looked at during this run
    bool aliveGood = false;
    XStringW aliveResult;           // what the last look found ("port 8080 refused")
    ULONGLONG aliveFailingSince = 0;  // since when the check fails, 0 while it passes

    bool operator==(const EntryState& other) const;
    bool operator!=(const EntryState& other) const { return !(*this == other); }
};

class EntryStateStore {
public:
    // SOFTWARE\QUORBEL\QuorbelService\State below HKEY_LOCAL_MACHINE.
    static constexpr const wchar_t* kStateKeyPath = L"SOFTWARE\\QUORBEL\\QuorbelService\\State";
    static constexpr const wchar_t* kMachineKeyPath = L"SOFTWARE\\QUORBEL\\QuorbelService";
    static constexpr const wchar_t* kVendorKeyPath = L"SOFTWARE\\QUORBEL";

    static bool Write(const XStringW& sid, const XStringW& entryName, const EntryState& state);
    // False when nothing is published for the entry.
    static bool Read(const XStringW& sid, const XStringW& entryName, EntryState& state);
    // Every state published for the user: the entry names and their states.
    static std::vector<std::pair<XStringW, EntryState>> ReadAll(const XStringW& sid);
    // Whether the user's state key is there (someone may have deleted it meanwhile).
    static bool Exists(const XStringW& sid);
    static void Remove(const XStringW& sid, const XStringW& entryName);
    static void RemoveAll(const XStringW& sid);
    // Removes every published state, then SOFTWARE\QUORBEL\QuorbelService and SOFTWARE\QUORBEL
    // each when nothing else lives in it; for the removal of the service once it has stopped.
    static void RemoveStore();
    // Whether entries of the user have a hang timeout that no companion is there to watch: no
    // companion asked for the hang watch within a minute.
    static bool WriteCompanionMissing(const XStringW& sid, bool missing);
    static bool ReadCompanionMissing(const XStringW& sid);

    // The string SID of this process's user, for the command line; empty when it cannot be told.
    static XStringW ProcessUserSid();
    static ULONGLONG FileTimeNow();
};
