// The watch-list words that change one entry: remove, pause and restart.

#include "app/Commands.h"
#include "app/ConsoleOutput.h"
#include "app/Dispatch.h"
#include "config/CQuorbelServiceHelper.h"
#include "config/WatchListView.h"
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
        Say(L"%@ was left as it is: its Status \"%@\" is neither 1 nor 0", entryName,
            CQuorbelServiceHelper::GetUserListStatus(entryName));
        return kExitFailed;
    case WatchListResult::kFailed:
        break;
    }
    Say(L"could not change the entry %@ in the registry (%@)", entryName,
        SystemErrorText(static_cast<DWORD>(edit.error)));
    return kExitFailed;
}

}  // namespace

int SayInvalidEntryName(const XStringW& entryName)
{
    Say(L"invalid entry name \"%@\": an entry name is a file name of 1 to %d characters without "
        L"a backslash",
        entryName, CQuorbelServiceHelper::kMaxEntryNameChars);
    return kExitInvalidName;
}

int SayNoSuchEntry(const XStringW& entryName)
{
    Say(L"no entry named %@", entryName);
    return kExitNoSuchEntry;
}

int RefuseIfSetByPolicy(const wchar_t* word, const XStringW& entryName)
{
    if (!IsSetByPolicy(entryName)) {
        return kExitSuccess;
    }
    TraceError("main", __LINE__, L"%s of %@ refused: set by policy", word, entryName);
    Say(L"%@ is set by policy (%s\\%s): %s refused, nothing was changed",
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
};

int RunEntryEdit(const EntryEdit& change, const Operands& operands)
{
    if (operands.size() != 1) {
        return UsageError();
    }
    const XStringW& name = operands.front();
    TraceLog("main", __LINE__, L"%s service : %@", change.word, name);
    if (const int refused = RefuseIfSetByPolicy(change.word, name)) {
        return refused;
    }
    XStringW done;
    done.Format(L"%@ %s", name, change.done);
    WatchListEdit edit;
    return ReportEdit(change.apply(name, &edit), name, done, change.alreadySo, edit);
}

}  // namespace

int RunRemoveCommand(const Operands& operands)
{
    return RunEntryEdit({L"remove", L"removed", L"", CQuorbelServiceHelper::RemoveList}, operands);
}

int RunPauseCommand(const Operands& operands)
{
    return RunEntryEdit({L"pause", L"paused", L"paused", CQuorbelServiceHelper::PauseList},
                        operands);
}

int RunRestartCommand(const Operands& operands)
{
    return RunEntryEdit({L"restart", L"active", L"active", CQuorbelServiceHelper::RestartList},
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
