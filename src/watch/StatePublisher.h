#pragma once
// Publishes what the service knows of each watched entry for the list command. A state is written
// only when it changed, so a steady pass writes nothing; states of entries that left the list, of
// another user, or left by an earlier run of the service are removed.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "config/EntryStateStore.h"
#include "strings/XStringW.h"
#include "strings/XStringWList.h"
#include "watch/AliveBoard.h"
#include "watch/RestartPolicy.h"
#include "watch/WatchSeams.h"

class StatePublisher {
public:
    explicit StatePublisher(const WatchSeams& seams) : seams(seams) {}

    // Publishes for this user from now on; the states of any other are removed. What an earlier
    // run of the service published for the user since the machine started is carried on: the
    // restart count and the last exit. A state key deleted meanwhile is written again in full.
    void SwitchTo(const XStringW& sid);
    // The entry's state from its policy record (null: nothing known yet) and the last look at
    // its liveness check.
    void Publish(const XStringW& sid, const XStringW& name, const RestartPolicy::Entry* entry,
                 const AliveStatus& alive = AliveStatus());
    // Removes the published states of every entry not listed (keys by NameKey).
    void KeepOnly(const XStringW& sid, const std::vector<std::wstring>& keys);

private:
    const WatchSeams& seams;
    // The clock readings last written, by NameKey; the store has the wall-clock times.
    std::map<std::wstring, EntryState> published;
    // What earlier runs of the service published, by NameKey.
    std::map<std::wstring, EntryState> carried;
    XStringW publishedSid;
};
