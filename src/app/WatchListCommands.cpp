// The watch-list words that change one entry: remove, pause and restart.

#include "app/Commands.h"
#include "app/ConsoleOutput.h"
#include "app/Dispatch.h"
#include "app/Reports.h"
#include "config/CQuorbelServiceHelper.h"
#include "config/RelaunchRequest.h"
#include "config/WatchListView.h"
#include "process/ProcessTable.h"
#include "strings/CaseFold.h"
#include "strings/CommandLineText.h"
#include "strings/ErrorText.h"
#include "trace/Trace.h"

namespace {

// Set before the restart-all runs, so that it runs at most once per process.
bool restartAllDone = false;

// The answer to an edit of the entry; done says what a successful edit did.
int ReportEdit(WatchListResult result, const XStringW& entryName, const XStringW& done,
               const wchar_t* alreadySo, const WatchListEdit& edit)
{
    switch (result) {
    case WatchListResult::kDone:
        WriteOutputLine(done);
        return kExitSuccess;
    case WatchListResult::kAlreadySo:
        Say(L"%@ was %s already", entryName, alreadySo);
        return kExitSuccess;
    case WatchListResult::kInvalidName:
        return SayInvalidEntryName(entryName);
    case WatchListResult::kNoSuchEntry:
        return SayNoSuchEntry(entryName);
    case WatchListResult::kStatusUnreadable:
        SayError(L"%@ was left as it is: its Status \"%@\" is neither 1 nor 0", entryName,
                 CQuorbelServiceHelper::GetUserListStatus(entryName));
        return kExitFailed;
    case WatchListResult::kFailed:
        break;
    }
    SayError(L"could not change the entry %@ in the registry (%@)", entryName,
             SystemErrorText(static_cast<DWORD>(edit.error)));
    return kExitFailed;
}

}  // namespace

int SayInvalidEntryName(const XStringW& entryName)
{
    SayError(L"invalid entry name \"%@\": an entry name is a file name of 1 to %d characters "
             L"without a backslash",
             entryName, CQuorbelServiceHelper::kMaxEntryNameChars);
    return kExitInvalidName;
}

int SayNoSuchEntry(const XStringW& entryName)
{
    SayError(L"no entry named %@", entryName);
    return kExitNoSuchEntry;
}

int RefuseIfSetByPolicy(const wchar_t* word, const XStringW& entryName)
{
    if (!IsSetByPolicy(entryName)) {
        return kExitSuccess;
    }
    TraceError("main", __LINE__, L"%s of %@ refused: set by policy", word, entryName);
    SayError(L"%@ is set by policy (%s\\%s): %s refused, nothing was changed",
             WithControlCharactersShown(entryName), machine_policy::kKeyPath,
             machine_policy::kProgramsSubKey, word);
    return kExitInvalidName;
}

void RestartAllOnce()
{
    if (restartAllDone) {
        return;
    }
    restartAllDone = true;
    CQuorbelServiceHelper::RestartAllList();
}

namespace {

// An edit of the one entry that the operand names.
struct EntryEdit {
    const wchar_t* word;       // the command word, as traced and as a policy refusal names it
    const wchar_t* done;       // the answer after the entry's name
    const wchar_t* alreadySo;  // what an entry that needed no change was already
    WatchListResult (*apply)(const XStringW& entryName, WatchListEdit* edit);
    // Optional: the answer to an entry that needed no change, in place of alreadySo's.
    int (*answerAlreadySo)(const XStringW& entryName);
    // Optional: what follows the answer of an edit that was done.
    void (*afterDone)(const XStringW& entryName);
};

// The ids ("%d" texts) of the processes of the entry's program in this session.
XStringWList RunningIds(const XStringW& entryName)
{
    return ProcessTable::TakeForOwnSession().FindIds(entryName);
}

// A removed entry's program is not ended: the answer says so, and how to end it.
void SayIfStillRunning(const XStringW& entryName)
{
    const XStringWList ids = RunningIds(entryName);
    if (ids.GetCount() > 0) {
        Say(L"%@ still runs (process %@) and is no longer watched: end it with "
            L"taskkill /pid %@ if it is to stop",
            entryName, ids.GetAt(0), ids.GetAt(0));
    }
}

// restart of an active entry: one that the service holds back, backing off or after a start that
// failed, may start now, its count of quick exits kept; a running program is left alone.
int StartHeldEntryNow(const XStringW& entryName)
{
    const ListReport report = GatherListReport(XStringW(kServiceName));
    const EntryReport* held = nullptr;
    for (const EntryReport& entry : report.entries) {
        if (SameIgnoringCase(entry.name.GetString(), entryName.GetString()) && entry.active &&
            (entry.run == RunState::kBackingOff ||
             (entry.run == RunState::kNotRunning && !entry.failure.IsEmpty()))) {
            held = &entry;
        }
    }
    if (held == nullptr || !report.ServiceRuns()) {
        const XStringWList ids = RunningIds(entryName);
        if (ids.GetCount() > 0) {
            Say(L"%@ was active already; its program runs (process %@) and is left as it is "
                L"(relaunch starts it again)",
                entryName, ids.GetAt(0));
        } else {
            Say(L"%@ was active already", entryName);
        }
        return kExitSuccess;
    }
    const LONG status = start_request::Write(entryName);
    if (status != ERROR_SUCCESS) {
        SayError(L"could not change the entry %@ in the registry (%@)", entryName,
                 SystemErrorText(static_cast<DWORD>(status)));
        return kExitFailed;
    }
    if (held->run == RunState::kBackingOff) {
        Say(L"%@ was backing off (next start in %u s): it starts now; its count of quick exits in "
            L"a row (%u) is kept",
            entryName, held->nextStartInSeconds, held->state.quickExits);
    } else {
        Say(L"%@ could not be started (%@): it is started again now; its count of quick exits in "
            L"a row (%u) is kept",
            entryName, held->failure, held->state.quickExits);
    }
    return kExitSuccess;
}

int RunEntryEdit(const EntryEdit& change, const Operands& operands)
{
    if (const int usage = ExpectOneOperand(change.word, L"the entry name", operands)) {
        return usage;
    }
    const XStringW& name = operands.front();
    TraceLog("main", __LINE__, L"%s service : %@", change.word, name);
    if (const int refused = RefuseIfSetByPolicy(change.word, name)) {
        return refused;
    }
    XStringW done;
    done.Format(L"%@ %s", name, change.done);
    WatchListEdit edit;
    const WatchListResult result = change.apply(name, &edit);
    if (result == WatchListResult::kAlreadySo && change.answerAlreadySo != nullptr) {
        return change.answerAlreadySo(name);
    }
    const int exitCode = ReportEdit(result, name, done, change.alreadySo, edit);
    if (result == WatchListResult::kDone && change.afterDone != nullptr) {
        change.afterDone(name);
    }
    return exitCode;
}

}  // namespace

int RunRemoveCommand(const Operands& operands)
{
    return RunEntryEdit(
        {L"remove", L"removed", L"", CQuorbelServiceHelper::RemoveList, nullptr, SayIfStillRunning},
        operands);
}

int RunPauseCommand(const Operands& operands)
{
    return RunEntryEdit(
        {L"pause", L"paused", L"paused", CQuorbelServiceHelper::PauseList, nullptr, nullptr},
        operands);
}

int RunRestartCommand(const Operands& operands)
{
    return RunEntryEdit({L"restart", L"active", L"active", CQuorbelServiceHelper::RestartList,
                         StartHeldEntryNow, nullptr},
                        operands);
}

WatchListResult AddService(const XStringW& path, const XStringW& entryName,
                           const XStringW& arguments, WatchListEdit* edit, DWORD hangTimeout,
                           const XStringW& directory, const XStringW* aliveCheck)
{
    TraceLog("AddService", __LINE__, L"RunProcessAfterLogon %@", path);
    return CQuorbelServiceHelper::AddList(entryName, path, arguments, edit, hangTimeout,
                                          directory, aliveCheck);
}
