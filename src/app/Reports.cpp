// The answers of the list and svc status forms.

#include <windows.h>

#include <algorithm>
#include <vector>

#include "app/Commands.h"
#include "app/ConsoleOutput.h"
#include "app/Dispatch.h"
#include "config/CQuorbelServiceHelper.h"
#include "config/EntryStateStore.h"
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

// "75 s", "12 min", "5 h", "3 d": short enough for a column, exact enough to tell runs apart.
XStringW Duration(ULONGLONG milliseconds)
{
    const ULONGLONG seconds = milliseconds / 1000;
    XStringW text;
    if (seconds < 120) {
        text.Format(L"%u s", static_cast<unsigned>(seconds));
    } else if (seconds < 120 * 60) {
        text.Format(L"%u min", static_cast<unsigned>(seconds / 60));
    } else if (seconds < 48 * 3600) {
        text.Format(L"%u h", static_cast<unsigned>(seconds / 3600));
    } else {
        text.Format(L"%u d", static_cast<unsigned>(seconds / 86400));
    }
    return text;
}

// What the service published for an entry, as the list's columns.
struct RunColumns {
    XStringW run;
    XStringW restarts;
    XStringW lastExit;
};

RunColumns ColumnsOf(bool running, const EntryState* state, ULONGLONG now)
{
    constexpr ULONGLONG kTicksPerMs = 10000;
    RunColumns columns;
    if (running) {
        columns.run = L"running";
        if (state != nullptr && state->processId != 0 && state->startedAt != 0 &&
            state->startedAt <= now) {
            columns.run.AppendFormat(L", pid %u, up %@", state->processId,
                                     Duration((now - state->startedAt) / kTicksPerMs));
        }
    } else if (state != nullptr && state->nextStartAt > now) {
        columns.run.Format(L"backing off, next start in %u s",
                           static_cast<unsigned>((state->nextStartAt - now) / kTicksPerMs / 1000 + 1));
    } else {
        columns.run = L"not running";
    }
    if (state != nullptr) {
        columns.restarts.Format(L"restarts %u", state->restarts);
        if (state->hasExit) {
            columns.lastExit.Format(L"exit code %d", static_cast<int>(state->exitCode));
        }
    }
    return columns;
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

int RunListCommand(const Operands& operands)
{
    if (!operands.empty()) {
        return UsageError();
    }
    const XStringWList names = CQuorbelServiceHelper::GetAllList();
    // One look at the processes answers "does it run" for every entry; only those of the user's
    // own session count, as other users' copies are not this user's programs.
    const ProcessTable processes = ProcessTable::TakeForOwnSession();
    const XStringW sid = EntryStateStore::ProcessUserSid();
    const ULONGLONG now = EntryStateStore::FileTimeNow();
    if (names.GetCount() == 0) {
        WriteOutputLine(XStringW(L"the watch list is empty"));
    }
    // The columns of what the service published appear only when it published something (it
    // runs, or ran since the machine started).
    std::vector<RunColumns> columns;
    bool anyState = false;
    int widths[4] = {0, 11, 0, 0};
    for (int i = 0; i < names.GetCount(); ++i) {
        const XStringW name = names.GetCopyAt(i);
        EntryState state;
        const bool published = EntryStateStore::Read(sid, name, state);
        anyState = anyState || published;
        columns.push_back(ColumnsOf(processes.IsRunning(name), published ? &state : nullptr, now));
        widths[0] = std::max(widths[0], WithControlCharactersShown(name).GetLength());
        widths[1] = std::max(widths[1], columns.back().run.GetLength());
        widths[2] = std::max(widths[2], columns.back().restarts.GetLength());
        widths[3] = std::max(widths[3], columns.back().lastExit.GetLength());
    }
    for (int i = 0; i < names.GetCount(); ++i) {
        const XStringW name = names.GetCopyAt(i);
        XStringW line;
        line.Format(L"%@  %@  %@  ", Padded(WithControlCharactersShown(name), widths[0]),
                    Padded(StateOf(CQuorbelServiceHelper::GetUserListStatus(name)), 6),
                    Padded(columns[i].run, widths[1]));
        if (anyState) {
            line.AppendFormat(L"%@  %@  ", Padded(columns[i].restarts, widths[2]),
                              Padded(columns[i].lastExit, widths[3]));
        }
        line += ShownPath(name);
        WriteOutputLine(line);
    }
    const XStringW intervalText = CQuorbelServiceHelper::GetUserInterval();
    const DWORD interval = WatchIntervalFromText(intervalText);
    XStringW text;
    if (intervalText.IsEmpty()) {
        text.Format(L"Interval: %u ms (default)", interval);
    } else if (IsIntervalAdjusted(intervalText)) {
        text.Format(L"Interval: %u ms (set to %@, kept within %u ms .. %u ms)", interval,
                    intervalText, kMinIntervalMs, kMaxIntervalMs);
    } else {
        text.Format(L"Interval: %u ms", interval);
    }
    WriteOutputLine(text);
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
