#pragma once
// The watch list as the service keeps it for a user: the programs set by machine policy beside
// the user's own entries. A policy entry wins over a user entry of the same name; with the
// policy's UserLists at 0 the user's own entries are not watched at all.

#include <windows.h>

#include <vector>

#include "config/MachinePolicy.h"
#include "strings/XStringW.h"

enum class EntrySource { kUser, kPolicy };

// The most entries of a user's own list that the service watches: the first active ones in the
// list's order, leaving out those the policy names. What one user's list can make the service do
// is bounded so; the rest are neither started nor published, and the list says so.
constexpr int kMaxWatchedUserEntries = 256;

// "user" or "policy".
const wchar_t* EntrySourceName(EntrySource source);

struct WatchListEntry {
    XStringW name;
    EntrySource source = EntrySource::kUser;
    XStringW path;             // as it is stored; %NAME% is expanded at the start
    DWORD pathType = REG_SZ;   // a user's Path may be missing (REG_NONE) or of another type
    XStringW arguments;
    XStringW directory;        // empty: the program's own folder
    XStringW status;           // the user's Status text; "1" for a policy entry
    // Active, but past the kMaxWatchedUserEntries the service watches of the user's list.
    bool pastWatchedCap = false;

    // Only a Status reading as 0 pauses an entry; a policy entry is always active.
    bool IsActive() const { return status.ToInt() != 0; }
};

// The current user's view (HKEY_CURRENT_USER) under this policy, for the command line: the
// policy's programs in the registry's order, then the user's own entries in theirs.
std::vector<WatchListEntry> GetMergedList(const MachinePolicy& policy);

// Whether the name is an entry set by machine policy (in any letter case): the command line
// leaves such an entry alone.
bool IsSetByPolicy(const XStringW& name);

// The interval text in effect: the policy's Interval in decimal when it sets one, otherwise the
// user's own.
XStringW EffectiveIntervalText(const MachinePolicy& policy, const XStringW& userIntervalText);
