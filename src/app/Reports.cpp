// The answers of the list and svc status forms.

#include <windows.h>

#include <algorithm>

#include "app/ConsoleOutput.h"
#include "app/Dispatch.h"
#include "config/CQuorbelServiceHelper.h"
#include "process/ProcessTable.h"
#include "service/CWindowService.h"
#include "strings/CommandLineText.h"
#include "watch/CQuorbelServiceThread.h"

namespace {

// The text padded with blanks to the width, for aligned columns.
XStringW Padded(const XStringW& text, int width)
{
    XStringW padded = text;
    for (int i = text.GetLength(); i < width; ++i) {
        padded += L" ";
    }
    return padded;
}

// As the service reads it: only a Status reading as 0 pauses an entry. A Status other than the
// two the command line writes is shown as it is.
XStringW StateOf(const XStringW& status)
{
    const int value = status.ToInt();
    if (value == 0) {
        return XStringW(L"paused");
    }
    if (value == 1) {
        return XStringW(L"active");
    }
    XStringW state;
    state.Format(L"active (Status \"%@\")", status);
    return state;
}

// As the service reads it: only a REG_SZ is a program path. Control characters are shown
// spelled out, never raw.
XStringW ShownPath(const XStringW& name)
{
    DWORD type = REG_NONE;
    const XStringW path = CQuorbelServiceHelper::GetUserListPath(name, &type);
    return type == REG_SZ ? WithControlCharactersShown(path) : XStringW(L"(no program path)");
}

const wchar_t* StateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED:
        return L"stopped";
    case SERVICE_START_PENDING:
        return L"start pending";
    case SERVICE_STOP_PENDING:
        return L"stop pending";
    case SERVICE_RUNNING:
        return L"running";
    case SERVICE_CONTINUE_PENDING:
        return L"continue pending";
    case SERVICE_PAUSE_PENDING:
        return L"pause pending";
    case SERVICE_PAUSED:
        return L"paused";
    default:
        return L"in an unknown state";
    }
}

}  // namespace

int PrintWatchList()
{
    const XStringWList names = CQuorbelServiceHelper::GetAllList();
    // One look at the processes answers "does it run" for every entry; only those of the user's
    // own session count, as other users' copies are not this user's programs.
    const ProcessTable processes = ProcessTable::TakeForOwnSession();
    int nameWidth = 0;
    for (int i = 0; i < names.GetCount(); ++i) {
        const int shownLength = WithControlCharactersShown(names.GetCopyAt(i)).GetLength();
        nameWidth = std::max(nameWidth, shownLength);
    }
    if (names.GetCount() == 0) {
        WriteOutputLine(XStringW(L"the watch list is empty"));
    }
    for (int i = 0; i < names.GetCount(); ++i) {
        const XStringW name = names.GetCopyAt(i);
        XStringW line;
        line.Format(L"%@  %@  %@  %@", Padded(WithControlCharactersShown(name), nameWidth),
                    Padded(StateOf(CQuorbelServiceHelper::GetUserListStatus(name)), 6),
                    Padded(XStringW(processes.IsRunning(name) ? L"running" : L"not running"), 11),
                    ShownPath(name));
        WriteOutputLine(line);
    }
    const XStringW intervalText = CQuorbelServiceHelper::GetUserInterval();
    XStringW interval;
    interval.Format(intervalText.IsEmpty() ? L"Interval: %u ms (default)" : L"Interval: %u ms",
                    WatchIntervalFromText(intervalText));
    WriteOutputLine(interval);
    return kExitSuccess;
}

int PrintServiceStatus(const XStringW& serviceName)
{
    ServiceQuery query;
    DWORD error = 0;
    XStringW text;
    if (!CWindowService::Query(serviceName, query, &error)) {
        text.Format(L"could not query %@ (error %u)", serviceName, error);
        WriteOutputLine(text);
        return kExitFailed;
    }
    if (!query.installed) {
        text.Format(L"%@: not installed", serviceName);
    } else if (query.markedForRemoval) {
        text.Format(L"%@: %s, marked for removal (it goes once it has stopped); binary path: %@",
                    serviceName, StateName(query.state), query.binaryPath);
    } else {
        text.Format(L"%@: %s; binary path: %@", serviceName, StateName(query.state),
                    query.binaryPath);
    }
    WriteOutputLine(text);
    return kExitSuccess;
}
