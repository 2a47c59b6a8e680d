#pragma once
// The service's half of the hang watch: it serves the session's pipe for the companion it starts,
// tells the companion which live processes of the watched programs have a hang timeout, times the
// hangs the companion reports, and ends each one that lasted its timeout through the handle the
// program's wait holds, when the user who reported it could have ended that process. The
// program's end is then taken like any other, and the restart policy starts it again.

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "channel/ChannelServer.h"
#include "channel/HangReports.h"
#include "process/ProcessOwner.h"
#include "strings/XStringW.h"
#include "strings/XStringWList.h"
#include "watch/ProgramRuns.h"
#include "watch/WatchSeams.h"

// The companion program the service keeps running beside the user's list.
constexpr const wchar_t* kCompanionImageName = L"QuorbelServiceManager.exe";

class HangWatch {
public:
    HangWatch(const WatchSeams& seams, HangReports::WakeFunc wake);
    ~HangWatch();
    HangWatch(const HangWatch&) = delete;
    HangWatch& operator=(const HangWatch&) = delete;

    // The companion that lies beside the service executable.
    XStringW CompanionPath() const;
    // Serves the pipe of the active session and returns the arguments that tell a companion
    // started now where it is; empty when no pipe could be made (traced).
    XStringW CompanionArguments(DWORD sessionId);
    // Ends the processes whose hangs were accepted since the last pass.
    void EndReported(ProgramRuns& runs);
    // The targets after a pass: the live processes of the entries with a hang timeout, in the
    // active session (sessionId, as the pass found it), and the companion's processes. The
    // timeouts are read again when the list changed (or the user did).
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

    // Who is heard as the companion: its live processes and the image they must run. By default
    // the processes of the companion that the runs wait on, run from the service's folder.
    struct Companion {
        std::vector<DWORD> processIds;
        XStringW imagePath;
    };
    using CompanionLookup = std::function<Companion(const ProgramRuns& runs)>;
    void SetCompanionLookup(CompanionLookup lookup) { companionOf = std::move(lookup); }
    void SetOwnerSeams(const OwnerSeams& seams) { owners = seams; }

    // The companion has not asked for its list this long while entries had a hang timeout: hangs
    // are not detected. Said once, in the trace, the list and an event.
    static constexpr ULONGLONG kCompanionGraceMs = 60000;

private:
    void ReadTimeouts(const XStringW& sid, const XStringWList& names);
    void CheckCompanion(const XStringW& sid, bool anyTimeout);

    const WatchSeams& seams;
    TimeoutLookup timeoutOf;
    CompanionLookup companionOf;
    OwnerSeams owners;
    HangReports reports;
    ChannelServer channel;
    XStringW timeoutsSid;
    std::map<std::wstring, DWORD> timeouts;  // by NameKey, only entries with one
    ULONGLONG timeoutsSince = 0;  // when an entry first had a timeout (0: none has)
    bool companionMissing = false;
};
