// What the watch thread learns of each program's runs: the ends its waits saw, the programs it
// sees running and the starts that came to nothing. The restart policy decides on them, and the
// result is published for the list command.

#include <windows.h>

#include "strings/ExitCodeText.h"
#include "trace/Trace.h"
#include "watch/CQuorbelServiceThread.h"
#include "watch/NameKey.h"
#include "watch/WatchEvents.h"

namespace {
constexpr const char* kFunction = "CQuorbelServiceThread::ThreadFunc";

// A reading of the monotonic clock as the wall-clock time it stands for.
ULONGLONG AsFileTime(ULONGLONG at, ULONGLONG now, ULONGLONG fileTimeNow)
{
    if (at == 0) {
        return 0;
    }
    constexpr ULONGLONG kTicksPerMs = 10000;
    return at >= now ? fileTimeNow + (at - now) * kTicksPerMs : fileTimeNow - (now - at) * kTicksPerMs;
}
}  // namespace

void CQuorbelServiceThread::TakeProgramExits()
{
    consoleWaits.TakeExits();  // they only woke the pass; the records have the consoles
    const std::vector<ExitWaits::Exit> exits = programWaits.TakeExits();
    if (exits.empty()) {
        return;
    }
    RefreshProcesses();
    for (const ExitWaits::Exit& exit : exits) {
        ReportProgramEnded(exit.name, exit.processId, exit.exitCode, exit.ranMs);
        const std::wstring key = NameKey(exit.name);
        policy.ExitSeen(key, exit.exitCode, clock());
        // The run ends with the last process of the name.
        if (!processes.IsRunning(exit.name)) {
            TraceOutcome(exit.name, policy.Ended(key, exit.ranMs, clock()));
        }
    }
}

void CQuorbelServiceThread::NoteRunning(const XStringW& name)
{
    const XStringWList ids = processes.FindIds(name);
    programWaits.Watch(name, ids);
    const DWORD processId = ids.GetCount() > 0 ? static_cast<DWORD>(ids.GetAt(0).ToUInt()) : 0;
    if (policy.SeenRunning(NameKey(name), processId, clock())) {
        TraceLog(kFunction, __LINE__, L"%@ runs, process id %u", name, processId);
    }
}

// A start (or a run) whose end no wait saw: its console has ended and the program does not run.
void CQuorbelServiceThread::NoteLostRun(const XStringW& name)
{
    const std::wstring key = NameKey(name);
    if (!policy.IsAwaiting(key)) {
        return;
    }
    const auto console = endedConsoleCodes.find(key);
    if (console != endedConsoleCodes.end()) {
        // cmd.exe /c ends with the exit code of the program it ran.
        policy.ExitSeen(key, console->second, clock());
        TraceLog(kFunction, __LINE__, L"%@ ended unseen, exit code %@", name,
                 ExitCodeText(console->second));
    } else {
        TraceLog(kFunction, __LINE__, L"%@ ended unseen", name);
    }
    TraceOutcome(name, policy.Lost(key, clock()));
}

void CQuorbelServiceThread::TraceOutcome(const XStringW& name, const RestartPolicy::Outcome& outcome)
{
    if (outcome.quick) {
        ReportBackoff(name, outcome.quickExits, outcome.delayMs);
    } else {
        TraceLog(kFunction, __LINE__, L"%@ ran 10 s or more: started again at once", name);
    }
}

// Written only when something changed: a steady pass writes nothing. The cache holds the
// clock readings, the key the wall-clock times they stand for.
void CQuorbelServiceThread::Publish(const XStringW& sid, const XStringW& name)
{
    const std::wstring key = NameKey(name);
    const RestartPolicy::Entry* const entry = policy.Find(key);
    EntryState readings;
    if (entry != nullptr) {
        readings.processId = entry->processId;
        readings.startedAt = entry->seen ? entry->seenAt : 0;
        readings.hasExit = entry->hasExit;
        readings.exitCode = entry->exitCode;
        readings.exitedAt = entry->exitedAt;
        readings.quickExits = entry->quickExits;
        readings.nextStartAt = entry->nextStartAt;
        readings.restarts = entry->starts > 0 ? entry->starts - 1 : 0;
    }
    const auto known = published.find(key);
    if (known != published.end() && known->second == readings) {
        return;
    }
    const ULONGLONG now = clock();
    const ULONGLONG fileTimeNow = EntryStateStore::FileTimeNow();
    EntryState state = readings;
    state.startedAt = AsFileTime(readings.startedAt, now, fileTimeNow);
    state.exitedAt = AsFileTime(readings.exitedAt, now, fileTimeNow);
    state.nextStartAt = AsFileTime(readings.nextStartAt, now, fileTimeNow);
    if (EntryStateStore::Write(sid, name, state)) {
        published[key] = readings;
    }
}
