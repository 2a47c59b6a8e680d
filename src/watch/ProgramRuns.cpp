#include "watch/ProgramRuns.h"

#include <iterator>

#include "strings/ExitCodeText.h"
#include "trace/Trace.h"
#include "watch/NameKey.h"
#include "watch/WatchEvents.h"

// The waits call the wake from thread-pool threads; they are members, so they are released
// (each waiting for a callback under way) before the owner goes.
ProgramRuns::ProgramRuns(const WatchSeams& seams, ExitWaits::WakeFunc wake)
    : seams(seams), programWaits(wake), consoleWaits(wake)
{
}

void ProgramRuns::TakeExits(ProcessView& processes)
{
    consoleWaits.TakeExits();  // they only woke the pass; the records have the consoles
    const std::vector<ExitWaits::Exit> exits = programWaits.TakeExits();
    if (exits.empty()) {
        return;
    }
    const ProcessTable& table = processes.Refresh();
    for (const ExitWaits::Exit& exit : exits) {
        const std::wstring key = NameKey(exit.name);
        const bool runEnded = !table.IsRunning(exit.name);
        // The user closed it to have it again: that end is neither reported nor counted.
        const bool relaunched =
            runEnded && policy.IsAwaiting(key) && TakeRelaunch(exit.name, exit.endedAt);
        if (relaunched) {
            ReportRelaunchEnded(exit.name, exit.processId, exit.exitCode, exit.ranMs);
        } else {
            ReportProgramEnded(exit.name, exit.processId, exit.exitCode, exit.ranMs);
        }
        policy.ExitSeen(key, exit.exitCode, seams.clock());
        if (relaunched) {
            policy.Relaunched(key, seams.clock());
        } else if (runEnded) {
            TraceOutcome(exit.name, policy.Ended(key, exit.ranMs, seams.clock()));
        }
    }
}

void ProgramRuns::NoteRunning(const XStringW& name, const ProcessTable& processes)
{
    const XStringWList ids = processes.FindIds(name);
    programWaits.Watch(name, ids, &processes);
    // The process already known is kept while it runs; once it is gone (a single-instance
    // program that handed over to a new copy) the run goes on in the first one of the name.
    const RestartPolicy::Entry* const known = policy.Find(NameKey(name));
    DWORD processId = ids.GetCount() > 0 ? static_cast<DWORD>(ids.GetAt(0).ToUInt()) : 0;
    for (int i = 0; known != nullptr && known->processId != 0 && i < ids.GetCount(); ++i) {
        if (static_cast<DWORD>(ids.GetAt(i).ToUInt()) == known->processId) {
            processId = known->processId;
        }
    }
    if (policy.SeenRunning(NameKey(name), processId, seams.clock())) {
        endedConsoleCodes.erase(NameKey(name));  // its console's end tells nothing of its run
        TraceLog("ProgramRuns::NoteRunning", __LINE__, L"%@ runs, process id %u", name, processId);
    }
}

bool ProgramRuns::MayStart(const XStringW& name)
{
    NoteLostRun(name);
    const std::wstring key = NameKey(name);
    if (policy.MayStart(key, seams.clock())) {
        return true;
    }
    const RestartPolicy::Entry* const entry = policy.Find(key);
    TraceLog("ProgramRuns::MayStart", __LINE__,
             L"%@ held back after %u quick exits, next start in %u ms", name, entry->quickExits,
             static_cast<unsigned>(entry->nextStartAt - seams.clock()));
    return false;
}

void ProgramRuns::Started(const XStringW& name, ULONGLONG at, DWORD launchError)
{
    policy.Started(NameKey(name), at, launchError);
    endedConsoleCodes.erase(NameKey(name));  // an earlier console's end; this start has its own
}

void ProgramRuns::ReleaseWaits()
{
    programWaits.KeepOnly({});
    consoleWaits.KeepOnly({});
}

void ProgramRuns::ForgetAll()
{
    ReleaseWaits();
    policy.KeepOnly({});
    endedConsoleCodes.clear();
}

bool ProgramRuns::TakeRelaunch(const XStringW& name, ULONGLONG endedAt)
{
    if (!relaunchAsked || !relaunchAsked(name, endedAt)) {
        return false;
    }
    const ULONGLONG now = seams.clock();
    if (!policy.MayRelaunch(NameKey(name), now, kRelaunchSpacingMs)) {
        TraceLog("ProgramRuns::TakeRelaunch", __LINE__,
                 L"%@ asked for a relaunch again within a minute: its end counts as any other",
                 name);
        return false;
    }
    return true;
}

void ProgramRuns::WatchConsole(const XStringW& name, DWORD consoleId)
{
    XStringWList ids;
    ids.Add(XStringW().Format(L"%d", consoleId));
    consoleWaits.Watch(name, ids);
}

void ProgramRuns::NoteEndedConsoles(const std::map<std::wstring, DWORD>& exitCodes)
{
    for (const auto& ended : exitCodes) {
        endedConsoleCodes[ended.first] = ended.second;
    }
}

void ProgramRuns::ForgetEndedConsoles()
{
    for (auto code = endedConsoleCodes.begin(); code != endedConsoleCodes.end();) {
        code = policy.IsAwaiting(code->first) ? std::next(code) : endedConsoleCodes.erase(code);
    }
}

void ProgramRuns::KeepOnly(std::vector<std::wstring> keys, const std::wstring& alsoWaitedOn)
{
    // The companion keeps its restart policy too, so that one that keeps ending is held back.
    keys.push_back(alsoWaitedOn);
    policy.KeepOnly(keys);
    consoleWaits.KeepOnly(keys);
    programWaits.KeepOnly(keys);
}

bool ProgramRuns::EndNotResponding(const XStringW& name, DWORD processId, DWORD seconds,
                                   const ExitWaits::EndCheck& mayEnd, const XStringW& reason)
{
    if (!programWaits.Terminate(name, processId, kNotRespondingExitCode, mayEnd)) {
        return false;
    }
    policy.NotResponding(NameKey(name), seconds, seams.clock(),
                         std::wstring(reason.GetString(), static_cast<size_t>(reason.GetLength())));
    return true;
}

// A start (or a run) whose end no wait saw: its console has ended and the program does not run.
void ProgramRuns::NoteLostRun(const XStringW& name)
{
    const std::wstring key = NameKey(name);
    if (!policy.IsAwaiting(key)) {
        return;
    }
    const auto console = endedConsoleCodes.find(key);
    if (console != endedConsoleCodes.end()) {
        // cmd.exe /c ends with the exit code of the program it ran, or with its own when it
        // found no program to run: that launch never happened.
        const RestartPolicy::Entry* const entry = policy.Find(key);
        if (console->second == kCommandNotFoundExitCode && entry != nullptr && !entry->seen) {
            policy.TakeBackLaunch(key);
        }
        policy.ExitSeen(key, console->second, seams.clock());
        TraceLog("ProgramRuns::NoteLostRun", __LINE__, L"%@ ended unseen, exit code %@", name,
                 ExitCodeText(console->second));
        if (console->second == kCommandNotFoundExitCode) {
            ReportNotRecognized(name);
        }
    } else {
        TraceLog("ProgramRuns::NoteLostRun", __LINE__, L"%@ ended unseen", name);
    }
    // The user's relaunch may have ended it before its wait told: that end counts no more than
    // one the wait saw.
    if (TakeRelaunch(name, 0)) {
        TraceLog("ProgramRuns::NoteLostRun", __LINE__,
                 L"%@ relaunched by its user: started again at once", name);
        policy.Relaunched(key, seams.clock());
        return;
    }
    TraceOutcome(name, policy.Lost(key, seams.clock()));
}

void ProgramRuns::TraceOutcome(const XStringW& name, const RestartPolicy::Outcome& outcome)
{
    if (!outcome.decided) {
        return;
    }
    if (outcome.quick) {
        ReportBackoff(name, outcome.quickExits, outcome.delayMs);
    } else {
        TraceLog("ProgramRuns::TraceOutcome", __LINE__,
                 L"%@ ran 10 s or more: started again at once", name);
    }
}
