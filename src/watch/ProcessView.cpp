#include "watch/ProcessView.h"

#include "trace/Trace.h"

const ProcessTable& ProcessView::Current()
{
    return stale ? Refresh() : table;
}

const ProcessTable& ProcessView::Refresh()
{
    table = seams.takeProcessTable(activeSessionId);
    stale = false;
    if (!table.IsTaken()) {
        TraceError("ProcessView::Refresh", __LINE__,
                   L"no process list: the pass starts and forgets nothing more");
    }
    return table;
}
