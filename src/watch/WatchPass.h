#pragma once
// What a pass reads and keeps from one pass to the next: the watch list of the logged-on user,
// that is the programs set by machine policy and the user's own active entries, whether it
// changed since the last pass, and the pass interval it asks for. Each entry's settings (path,
// arguments, directory, hang timeout, liveness check) are read in one go, at the first pass and
// after every change of the list, before anything is started; the pass's starts, hang watch and
// liveness checks take them from there, so no start waits on the registry.

#include <windows.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "config/AliveCheck.h"
#include "config/CActiveListMonitor.h"
#include "config/CPolicyMonitor.h"
#include "config/WatchListView.h"
#include "strings/XStringW.h"
#include "strings/XStringWList.h"

// The pass interval in milliseconds that an "Interval" text stands for: the default when it is
// empty or no number, and kept within kMinIntervalMs .. kMaxIntervalMs.
constexpr DWORD kDefaultIntervalMs = 5000;
constexpr DWORD kMinIntervalMs = 500;
constexpr DWORD kMaxIntervalMs = 24 * 60 * 60 * 1000;
DWORD WatchIntervalFromText(const XStringW& intervalText);
// Whether the text is a decimal number (digits only), as an "Interval" text must be.
bool IsDecimal(const XStringW& text);
// Whether the text is a number that WatchIntervalFromText had to raise or lower.
bool IsIntervalAdjusted(const XStringW& intervalText);

// How an entry's program is started.
struct EntryLaunch {
    EntrySource source = EntrySource::kUser;
    XStringW path;
    XStringW arguments;
    XStringW directory;
    // Started with the system's default error mode, so that a crash may show the crash dialog:
    // the entry's own choice, or where dumps of the program are asked for, so that the platform's
    // reporter runs as it would without the service.
    bool defaultErrorMode = false;
};

class WatchPass {
public:
    // wake is called on a thread-pool thread whenever the list or the policy changes.
    explicit WatchPass(std::function<void()> wake);

    // The names of the active entries for the user of the SID: the policy's programs first, then
    // the user's own active entries (unless the policy turns them off) that the policy does not
    // name, the first kMaxWatchedUserEntries of them; how many more there are is traced when it
    // changes. Nobody logged on (an empty SID) has none.
    XStringWList ReadList(const XStringW& sid);
    // Lets go of the watched key and its timer; the next read watches again.
    void StopWatching() { activeList.GetActiveList(XStringW()); }
    // After a change of the list or the policy: the entries whose Path, Arguments or Directory
    // differ from the last look, and those that were not active then. A change that touched no
    // entry (the Interval, a value nobody reads) gives none, and so does the first call.
    // listChanged: whether the list or the policy changed since the last call. The settings of
    // every entry are read here: at the first call, after a change, for another user, and at
    // every call while the list's key is not watched.
    std::vector<XStringW> TakeChangedEntries(const XStringW& sid, const XStringWList& names,
                                             bool& listChanged);
    // The user's own entries for which restart asked for a start now. Called after a change of
    // the list only (writing the request is one), after TakeChangedEntries: only the entries whose
    // read found a request are looked at again.
    std::vector<XStringW> TakeStartRequests(const XStringW& sid, const XStringWList& names) const;
    // Whether the name is an entry of the user's own list that the last ReadList found active, and
    // not one of the policy's programs.
    bool IsOwnEntry(const XStringW& name) const;
    // Whether the policy read by ReadList names the entry.
    bool IsSetByPolicy(const XStringW& name) const { return policy.Find(name) != nullptr; }
    // The entry's program as the policy read by ReadList or the user's list has it: as
    // TakeChangedEntries read it, or read now for a name it did not read.
    EntryLaunch LaunchOf(const XStringW& sid, const XStringW& name) const;
    // The entry's hang timeout in seconds (0: none): the policy's HangTimeout for its programs,
    // the entry's own for the user's, taken as LaunchOf takes the program.
    DWORD HangTimeoutOf(const XStringW& sid, const XStringW& name) const;
    // The entry's liveness check: the policy's AliveChecks for its programs, the entry's own
    // AliveCheck for the user's, taken as LaunchOf takes the program.
    alive_check::Check AliveCheckOf(const XStringW& sid, const XStringW& name) const;
    // The "Interval" text in effect: the policy's, or the user's own.
    XStringW IntervalText(const XStringW& sid) const;
    // The interval the user's "Interval" text asks for; a text out of bounds is traced when it
    // is new.
    DWORD IntervalFor(const XStringW& intervalText);

private:
    bool TakeListChange();
    struct EntrySettings {
        EntryLaunch launch;
        DWORD hangTimeout = 0;
        alive_check::Check alive;
        bool startRequested = false;
        // Whether the program is started as before: the same path, arguments and directory.
        bool StartsAs(const EntrySettings& other) const;
    };
    // What the policy or the user's list has for the entry now.
    EntrySettings ReadSettings(const XStringW& sid, const XStringW& name) const;
    // The settings for the entry: as TakeChangedEntries read them, or read now.
    EntrySettings SettingsOf(const XStringW& sid, const XStringW& name) const;
    CActiveListMonitor activeList;
    CPolicyMonitor policyMonitor;
    MachinePolicy policy;  // as ReadList read it
    std::set<std::wstring> ownEntries;  // by NameKey: the user's own active entries ReadList took
    unsigned seenListChanges = 0;
    unsigned seenPolicyChanges = 0;
    XStringW lastIntervalText;
    int lastPastCap = 0;  // active entries past the watched ones at the last read
    // The settings each active entry had at the last look, by NameKey, for settingsSid.
    std::map<std::wstring, EntrySettings> entrySettings;
    XStringW settingsSid;
    bool settingsTaken = false;
};
