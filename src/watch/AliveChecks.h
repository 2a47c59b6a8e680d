#pragma once
// The liveness checks of the watched programs: a heartbeat file, a local port or a URL that must
// keep answering. The looks run on pool threads of their own, one at a time per program, timed
// by a pool timer; a look that hangs (a server that accepts and never answers) holds only its
// own thread, never the watch thread's pass. A program that failed its check for its hang
// timeout is ended by the next pass, which the failure wakes, through the handle its exit wait
// holds; its end is then taken like any other, and the restart policy starts it again.

#include <windows.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "common/ScopedHandle.h"
#include "config/AliveCheck.h"
#include "strings/XStringW.h"
#include "strings/XStringWList.h"
#include "watch/AliveBoard.h"
#include "watch/AliveProbes.h"
#include "watch/ProgramRuns.h"
#include "watch/WatchSeams.h"

// What the checks ask of the system that in-process tests replace: the look itself.
struct AliveSeams {
    using ProbeFunc = ProbeResult (*)(const AliveTarget& target);
    // The look the check's kind asks for.
    static ProbeResult Look(const AliveTarget& target);
    ProbeFunc probe = &AliveSeams::Look;
};

class AliveChecks {
public:
    using WakeFunc = std::function<void()>;
    // Where an entry's check and hang timeout (seconds, 0: none) are read.
    using CheckLookup = std::function<alive_check::Check(const XStringW& sid, const XStringW& name)>;
    using TimeoutLookup = std::function<DWORD(const XStringW& sid, const XStringW& name)>;

    AliveChecks(const WatchSeams& seams, WakeFunc wake);
    ~AliveChecks();
    AliveChecks(const AliveChecks&) = delete;
    AliveChecks& operator=(const AliveChecks&) = delete;

    void SetLookups(CheckLookup checks, TimeoutLookup timeouts);
    // Ends the programs whose check failed since the last pass.
    void EndFailed(ProgramRuns& runs);
    // Expands %NAME% in a file's path with the variables of the pass's user; false with the
    // thread's last error when it could not.
    using Expander = std::function<bool(const XStringW& text, XStringW& expanded)>;
    // After a pass: the running programs of the entries with a check, in the active session.
    // The checks are read again when the list changed (or the user did).
    void Update(const XStringW& sid, const Expander& expand, const XStringWList& names,
                bool listChanged, const ProgramRuns& runs);
    // The last look at the entry's check, for the published state.
    AliveStatus StatusOf(const XStringW& name) const;
    // Stops the timer; looks still under way finish on their own and are dropped.
    void Stop();

    AliveSeams seams;

private:
    struct Entry {
        alive_check::Check check;
        XStringW filePath;
        ULONGLONG timeoutMs = 0;
    };
    // The board and what the looks in flight share with it; they keep it alive past a Stop.
    struct Shared;
    struct Look;
    static void CALLBACK OnTimer(PTP_CALLBACK_INSTANCE instance, void* context, PTP_TIMER timer);
    static void CALLBACK OnLook(PTP_CALLBACK_INSTANCE instance, void* context);
    // Starts the looks that fell due; a look given up may have failed a program, which the
    // watch thread is woken for.
    static void StartDueLooks(const std::shared_ptr<Shared>& shared);
    static void StartLooks(Shared& shared);
    void ReadChecks(const XStringW& sid, const Expander& expand, const XStringWList& names);

    const WatchSeams& watchSeams;
    CheckLookup checkOf;
    TimeoutLookup timeoutOf;
    std::shared_ptr<Shared> shared;
    ScopedThreadpoolTimer timer;  // after the shared state it reads: released first
    XStringW checksSid;
    std::map<std::wstring, Entry> checks;  // by NameKey, only entries with one
    bool networking = false;
};
