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
        Say(L"invalid entry name \"%@\": an entry name is a file name of 1 to %d characters "
            L"without a backslash",
            entryName, CQuorbelServiceHelper::kMaxEntryNameChars);
        return kExitInvalidName;
    case WatchListResult::kNoSuchEntry:
        Say(L"no entry named %@", entryName);
        return kExitNoSuchEntry;
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

int RunRemoveCommand(const Operands& operands)
{
    if (operands.size() != 1) {
        return UsageError();
    }
    const XStringW& name = operands.front();
    TraceLog("main", __LINE__, L"remove service : %@", name);
    if (const int refused = RefuseIfSetByPolicy(L"remove", name)) {
        return refused;
    }
    XStringW done;
    done.Format(L"%@ removed", name);
    WatchListEdit edit;
    return ReportEdit(CQuorbelServiceHelper::RemoveList(name, &edit), name, done, L"", edit);
}

int RunPauseCommand(const Operands& operands)
{
    if (operands.size() != 1) {
        return UsageError();
    }
    const XStringW& name = operands.front();
    TraceLog("main", __LINE__, L"pause service : %@", name);
    if (const int refused = RefuseIfSetByPolicy(L"pause", name)) {
        return refused;
    }
    XStringW done;
    done.Format(L"%@ paused", name);
    WatchListEdit edit;
    return ReportEdit(CQuorbelServiceHelper::PauseList(name, &edit), name, done, L"paused", edit);
}

int RunRestartCommand(const Operands& operands)
{
    if (operands.size() != 1) {
        return UsageError();
    }
    const XStringW& name = operands.front();
    TraceLog("main", __LINE__, L"restart service : %@", name);
    if (const int refused = RefuseIfSetByPolicy(L"restart", name)) {
        return refused;
    }
    XStringW done;
    done.Format(L"%@ active", name);
    WatchListEdit edit;
    return ReportEdit(CQuorbelServiceHelper::RestartList(name, &edit), name, done, L"active",
                      edit);
}

WatchListResult AddService(const XStringW& path, const XStringW& entryName,
                           const XStringW& arguments, WatchListEdit* edit, DWORD hangTimeout,
                           const XStringW& directory)
{
    TraceLog("AddService", __LINE__, L"RunProcessAfterLogon %@", path);
    return CQuorbelServiceHelper::AddList(entryName, path, arguments, edit, hangTimeout,
                                          directory);
}
