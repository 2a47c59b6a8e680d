#pragma once
// A pass's view of the running processes: taken at the start of the pass and again after the
// pass started or ended a process.

#include "process/ProcessTable.h"
#include "watch/WatchSeams.h"

class ProcessView {
public:
    explicit ProcessView(const WatchSeams& seams) : seams(seams) {}

    // The last table, taken afresh first when a process was started or ended since.
    const ProcessTable& Current();
    // Takes a fresh table now; one that cannot be had is traced.
    const ProcessTable& Refresh();
    // The last table as it was taken.
    const ProcessTable& Last() const { return table; }
    void MarkStale() { stale = true; }
    // The active session the pass found; the tables are of its processes (of all while it is 0).
    void SetActiveSession(DWORD sessionId) { activeSessionId = sessionId; }

private:
    const WatchSeams& seams;
    DWORD activeSessionId = 0;
    ProcessTable table;
    bool stale = true;
};
