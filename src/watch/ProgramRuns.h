#pragma once
// What the watch engine learns of each program's runs, and what the restart policy makes of it:
// the ends its waits saw, the programs it sees running, the starts it made and the starts that
// came to nothing. Every process of a watched program that was seen running is waited on, and its
// end wakes the watch thread.

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "process/ProcessTable.h"
#include "strings/XStringW.h"
#include "strings/XStringWList.h"
#include "watch/ExitWaits.h"
#include "watch/NameKey.h"
#include "watch/ProcessView.h"
#include "watch/RestartPolicy.h"
#include "watch/WatchSeams.h"

class ProgramRuns {
public:
    // The exit code of a program the service ended because its windows stopped answering.
    static constexpr UINT kNotRespondingExitCode = 1;

    // Whether the user asked for the end of the program's run, to have it started again, before
    // it ended at endedAt (a FILETIME value; 0: it was found gone just now).
    using RelaunchLookup = std::function<bool(const XStringW& name, ULONGLONG endedAt)>;
    // A relaunch counts at most once in this long for a program: a program that asks for its own
    // relaunch before each end does not escape its backoff.
    static constexpr ULONGLONG kRelaunchSpacingMs = 60000;

    ProgramRuns(const WatchSeams& seams, ExitWaits::WakeFunc wake);
    void SetRelaunchLookup(RelaunchLookup lookup) { relaunchAsked = std::move(lookup); }

    // Reports the ends the waits saw and lets the policy decide on them; a run ends with the last
    // process of its name. A run the user ended for a relaunch is no quick exit: the program
    // starts again at once. So is a run whose end no wait saw (see MayStart).
    void TakeExits(ProcessView& processes);
    // The program runs: its processes are waited on, and a first sighting is traced.
    void NoteRunning(const XStringW& name, const ProcessTable& processes);
    // Whether the program may be started now; a held-back start is traced. A run whose end no
    // wait saw (its console ended, the program is gone) is decided on first.
    bool MayStart(const XStringW& name);
    // Whether a hold after quick exits keeps the program from starting now. Nothing is decided:
    // a held program has no run awaiting its end.
    bool IsHeldBack(const XStringW& name) const
    {
        return !policy.MayStart(NameKey(name), seams.clock());
    }
    // Whether a start or a run of the program waits to be decided on.
    bool IsAwaiting(const XStringW& name) const { return policy.IsAwaiting(NameKey(name)); }
    // launchError: why the start launched nothing, 0 when its console was created.
    void Started(const XStringW& name, ULONGLONG at, DWORD launchError);
    // A console of a program that did not come up: its end wakes the watch thread too.
    void WatchConsole(const XStringW& name, DWORD consoleId);
    // The exit codes of consoles that ended (by NameKey), for the runs whose end no wait saw;
    // each is kept until its run is decided, also when its start is put off for a pass or more.
    void NoteEndedConsoles(const std::map<std::wstring, DWORD>& exitCodes);
    void ForgetEndedConsoles();

    // The entry's settings changed: it gets a fresh start.
    void ClearCount(const XStringW& name) { policy.ResetCount(NameKey(name)); }
    // The user asked for a start now (see RestartPolicy::EndHold).
    bool EndHold(const XStringW& name) { return policy.EndHold(NameKey(name), seams.clock()); }
    // Forgets every program not listed (keys by NameKey); alsoWaitedOn (the companion) keeps its
    // waits and its restart policy.
    void KeepOnly(std::vector<std::wstring> keys, const std::wstring& alsoWaitedOn);
    ULONGLONG MsUntilNextStart() const { return policy.MsUntilNextStart(seams.clock()); }
    const RestartPolicy::Entry* Find(const std::wstring& key) const { return policy.Find(key); }
    size_t WaitCount() const { return programWaits.Count() + consoleWaits.Count(); }
    // Whether a watched program ended since the ends were last taken.
    bool HasEnded() const { return programWaits.HasExits(); }
    // Releases every wait (each waiting for a callback under way).
    void ReleaseWaits();
    // Forgets every program, its waits and its restart record: they were another user's.
    void ForgetAll();

    // The program's processes that are waited on and have not ended.
    std::vector<DWORD> LiveIds(const XStringW& name) const { return programWaits.LiveIds(name); }
    // Ends a process of the program whose windows stopped answering (or, with a reason, whose
    // liveness check failed), through the handle its wait holds, if mayEnd agrees; its end is
    // then taken like any other. False when it is no such process or is not to be ended.
    bool EndNotResponding(const XStringW& name, DWORD processId, DWORD seconds,
                          const ExitWaits::EndCheck& mayEnd, const XStringW& reason = XStringW());

private:
    void NoteLostRun(const XStringW& name);
    // Whether the run's end was a relaunch the user asked for, and one that may count now.
    bool TakeRelaunch(const XStringW& name, ULONGLONG endedAt);
    void TraceOutcome(const XStringW& name, const RestartPolicy::Outcome& outcome);

    const WatchSeams& seams;
    ExitWaits programWaits;
    ExitWaits consoleWaits;  // wake the pass when a console of a program not yet up ends
    RestartPolicy policy;
    std::map<std::wstring, DWORD> endedConsoleCodes;
    RelaunchLookup relaunchAsked;
};
