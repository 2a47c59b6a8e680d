#pragma once
// The service's half of the hang watch: it tells the session's companion, through the channel,
// which live processes of the watched programs have a hang timeout, and ends each one the
// companion reports and the channel accepted, through the handle the program's wait holds. The
// program's end is then taken like any other, and the restart policy starts it again.

#include <windows.h>

#include <functional>
#include <map>
#include <string>

#include "channel/ChannelServer.h"
#include "channel/HangReports.h"
#include "strings/XStringW.h"
#include "strings/XStringWList.h"
#include "watch/ProgramRuns.h"
#include "watch/WatchSeams.h"

class HangWatch {
public:
    HangWatch(const WatchSeams& seams, HangReports::WakeFunc wake);
    ~HangWatch();
    HangWatch(const HangWatch&) = delete;
    HangWatch& operator=(const HangWatch&) = delete;

    // Ends the processes whose reports were accepted since the last pass.
    void EndReported(ProgramRuns& runs);
    // The targets after a pass: the live processes of the entries with a hang timeout, in the
    // active session (sessionId, as the pass found it). The timeouts are read again when the list
    // changed (or the user did).
    void Update(const XStringW& sid, DWORD sessionId, const XStringWList& names, bool listChanged,
                const ProgramRuns& runs);
    // Where an entry's hang timeout in seconds is read (0: none); the entry's own HangTimeout
    // until it is set.
    using TimeoutLookup = std::function<DWORD(const XStringW& sid, const XStringW& name)>;
    void SetTimeoutLookup(TimeoutLookup lookup) { timeoutOf = std::move(lookup); }
    // Closes the pipe; for the end of the service.
    void Stop();
    // No process is a target any more, and reports not yet taken are dropped: the targets were
    // another user's. The next Update reads the timeouts again.
    void DropTargets();

    // No companion asked for its list this long after entries had a hang timeout: said once.
    static constexpr ULONGLONG kCompanionGraceMs = 60000;

private:
    void ReadTimeouts(const XStringW& sid, const XStringWList& names);
    void CheckCompanion(const XStringW& sid, bool anyTimeout);

    const WatchSeams& seams;
    TimeoutLookup timeoutOf;
    HangReports reports;
    ChannelServer channel;
    XStringW timeoutsSid;
    std::map<std::wstring, DWORD> timeouts;  // by NameKey, only entries with one
    ULONGLONG timeoutsSince = 0;  // when an entry first had a timeout (0: none has)
    bool companionMissing = false;
};
