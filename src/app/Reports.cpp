// The answers of the list, check and svc status forms.

#include "app/Reports.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "app/Commands.h"
#include "app/ConsoleOutput.h"
#include "app/Dispatch.h"
#include "common/FileTime.h"
#include "config/CQuorbelServiceHelper.h"
#include "config/EntryStateStore.h"
#include "config/HangTimeout.h"
#include "config/WatchListView.h"
#include "process/ProcessTable.h"
#include "process/ProcessTimes.h"
#include "service/CWindowService.h"
#include "strings/CommandLineText.h"
#include "strings/ErrorText.h"
#include "strings/ExitCodeText.h"
#include "strings/JsonText.h"
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

constexpr ULONGLONG kTicksPerSecond = 1000 * kFileTimeTicksPerMs;

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

// Why the last start failed, in words with the code; empty when it did not fail.
XStringW FailureOf(const EntryState& state, const XStringW& directory)
{
    XStringW text;
    if (state.startError != 0) {
        const XStringW words = StartFailureWords(state.startError);
        if (state.startError == ERROR_BAD_PATHNAME) {
            text.Format(L"Directory \"%@\" is not absolute (error %u)",
                        WithControlCharactersShown(directory), state.startError);
        } else if (state.startError == ERROR_DIRECTORY && directory.IsEmpty()) {
            // Without a Directory the program starts in its own folder: that folder is missing,
            // and the program with it.
            text.Format(L"program not found, nor its folder (error %u)", state.startError);
        } else if (state.startError == ERROR_DIRECTORY) {
            text.Format(L"%@: %@ (error %u)", words, WithControlCharactersShown(directory),
                        state.startError);
        } else if (words.IsEmpty()) {
            text = SystemErrorText(state.startError);
        } else {
            text.Format(L"%@ (error %u)", words, state.startError);
        }
    } else if (state.hasExit && state.exitCode == kCommandNotFoundExitCode) {
        text.Format(L"program not found (exit code %u)", kCommandNotFoundExitCode);
    }
    return text;
}

// The process to show for a running entry: the one the service published while it still runs
// with its creation time, else the first of the name in this session.
void FindShownProcess(EntryReport& entry, const ProcessTable& processes)
{
    if (entry.published && IsSameProcessRunning(entry.state.processId,
                                                entry.state.processCreatedAt)) {
        entry.run = RunState::kRunning;
        entry.processId = entry.state.processId;
        entry.startedAt = entry.state.processCreatedAt;
        return;
    }
    const XStringWList ids = processes.FindIds(entry.name);
    for (int i = 0; i < ids.GetCount(); ++i) {
        const DWORD id = static_cast<DWORD>(ids.GetAt(i).ToUInt());
        ULONGLONG createdAt = 0;
        if (ProcessCreationTime(id, createdAt)) {
            entry.run = RunState::kRunning;
            entry.processId = id;
            entry.startedAt = createdAt;
            return;
        }
    }
    if (ids.GetCount() > 0) {
        entry.run = RunState::kRunning;  // it runs, but could not be asked about
    }
}

EntryReport GatherEntry(const WatchListEntry& listed, const XStringW& sid,
                        const ProcessTable& processes, bool serviceRuns, DWORD intervalMs,
                        ULONGLONG now)
{
    EntryReport entry;
    entry.name = listed.name;
    entry.path = listed.path;
    entry.hasPath = listed.pathType == REG_SZ;
    entry.arguments = listed.arguments;
    entry.directory = listed.directory;
    entry.source = listed.source;
    entry.statusText = listed.status;
    entry.active = listed.IsActive();
    entry.pastWatchedCap = listed.pastWatchedCap;
    entry.published = EntryStateStore::Read(sid, entry.name, entry.state);
    // Ended by the hang watch within the last interval: check counts it as trouble.
    entry.endedNotResponding =
        entry.published && entry.state.notRespondingAt != 0 && entry.state.notRespondingAt <= now &&
        now - entry.state.notRespondingAt < static_cast<ULONGLONG>(intervalMs) * kFileTimeTicksPerMs;
    FindShownProcess(entry, processes);
    if (entry.run == RunState::kRunning || !entry.published) {
        return entry;
    }
    // Only a running service holds a start back; after its stop nothing is due.
    if (serviceRuns && entry.active && entry.state.nextStartAt > now) {
        entry.run = RunState::kBackingOff;
        entry.nextStartInSeconds =
            static_cast<DWORD>((entry.state.nextStartAt - now) / kTicksPerSecond + 1);
    }
    entry.failure = FailureOf(entry.state, entry.directory);
    return entry;
}

// Each value of the policy that was refused, by its name below the policy key.
void GatherPolicyRefusals(ListReport& report, const MachinePolicy& policy)
{
    for (const RefusedPolicyProgram& program : policy.refused) {
        XStringW value;
        value.Format(L"%s\\%@", machine_policy::kProgramsSubKey,
                     WithControlCharactersShown(program.name));
        report.policyRefusals.push_back({value, program.reason});
    }
    for (const RefusedPolicyProgram& setting : policy.refusedSettings) {
        report.policyRefusals.push_back(setting);
    }
}

// "policy value Programs\kiosk.exe refused: the path is not absolute ...".
XStringW RefusalLine(const RefusedPolicyProgram& refusal)
{
    XStringW line;
    line.Format(L"policy value %@ refused: %@", refusal.name, refusal.reason);
    return line;
}

void GatherInterval(ListReport& report, const MachinePolicy& policy)
{
    report.intervalText =
        EffectiveIntervalText(policy, CQuorbelServiceHelper::GetUserInterval());
    report.intervalMs = WatchIntervalFromText(report.intervalText);
    report.intervalAdjusted = IsIntervalAdjusted(report.intervalText);
    report.intervalNotANumber = !report.intervalText.IsEmpty() && !IsDecimal(report.intervalText);
}

// "2026-12-09T21:47:21Z".
XStringW IsoTime(ULONGLONG fileTime)
{
    FILETIME time{};
    time.dwLowDateTime = static_cast<DWORD>(fileTime);
    time.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
    SYSTEMTIME utc{};
    XStringW text;
    if (::FileTimeToSystemTime(&time, &utc)) {
        text.Format(L"%04u-%02u-%02uT%02u:%02u:%02uZ", utc.wYear, utc.wMonth, utc.wDay, utc.wHour,
                    utc.wMinute, utc.wSecond);
    }
    return text;
}

// "; hang timeout 30 s; ended as not responding at 2026-12-09T21:47:21Z (port 8080 refused for
// 31 s)": the entry's hang timeout, when the hang watch or the liveness check last ended its
// program and why, and a check that fails now.
void AppendHangWatch(XStringW& run, const EntryReport& entry)
{
    if (entry.hangTimeoutSeconds != 0) {
        run.AppendFormat(L"; hang timeout %u s", entry.hangTimeoutSeconds);
    }
    if (entry.published && entry.state.notRespondingAt != 0) {
        run.AppendFormat(L"; ended as not responding at %@", IsoTime(entry.state.notRespondingAt));
        if (!entry.state.notRespondingReason.IsEmpty()) {
            run.AppendFormat(L" (%@)", WithControlCharactersShown(entry.state.notRespondingReason));
        }
    }
    if (entry.AliveFailing()) {
        run.AppendFormat(L"; check failing since %@: %@", IsoTime(entry.state.aliveFailingSince),
                         WithControlCharactersShown(entry.state.aliveResult));
    }
}

// "; not watched: past the first 256 active entries" for an entry the service leaves alone.
void AppendNotWatched(XStringW& run, const EntryReport& entry)
{
    if (entry.pastWatchedCap) {
        run.AppendFormat(L"; not watched: past the first %d active entries",
                         kMaxWatchedUserEntries);
    }
}

// "running, pid 1234, up 12 min", "backing off, next start in 31 s", "not running", each
// followed by the reason of a failed start.
XStringW RunColumn(const EntryReport& entry, ULONGLONG now)
{
    XStringW run;
    switch (entry.run) {
    case RunState::kRunning:
        run = L"running";
        if (entry.processId != 0) {
            run.AppendFormat(L", pid %u", entry.processId);
        }
        if (entry.startedAt != 0 && entry.startedAt <= now) {
            run.AppendFormat(L", up %@", Duration((now - entry.startedAt) / kFileTimeTicksPerMs));
        }
        AppendHangWatch(run, entry);
        AppendNotWatched(run, entry);
        return run;
    case RunState::kBackingOff:
        run.Format(L"backing off, next start in %u s", entry.nextStartInSeconds);
        break;
    case RunState::kNotRunning:
        run = L"not running";
        break;
    }
    if (!entry.failure.IsEmpty()) {
        run.AppendFormat(L"; %@", entry.failure);
    }
    AppendHangWatch(run, entry);
    AppendNotWatched(run, entry);
    return run;
}

XStringW RestartsColumn(const EntryReport& entry)
{
    XStringW text;
    if (entry.published) {
        text.Format(L"restarts %u", entry.state.restarts);
    }
    return text;
}

XStringW ExitColumn(const EntryReport& entry)
{
    XStringW text;
    if (entry.published && entry.state.hasExit) {
        text.Format(L"exit code %@", ExitCodeText(entry.state.exitCode));
    }
    return text;
}

XStringW ShownPath(const EntryReport& entry)
{
    return entry.hasPath ? WithControlCharactersShown(entry.path) : XStringW(L"(no program path)");
}

// "    alive check: port 8080, fails after 60 s; last look: port 8080 accepted".
XStringW AliveDetail(const EntryReport& entry)
{
    XStringW detail;
    if (!entry.alive.IsSet()) {
        detail = L"    alive check: (none)";
        return detail;
    }
    detail.Format(L"    alive check: %@, fails after %u s",
                  WithControlCharactersShown(entry.alive.Text()),
                  alive_check::TimeoutSeconds(entry.hangTimeoutSeconds));
    if (entry.published && entry.state.aliveKnown && entry.run == RunState::kRunning) {
        detail.AppendFormat(L"; last look: %@", WithControlCharactersShown(entry.state.aliveResult));
    }
    return detail;
}

XStringW IntervalLine(const ListReport& report)
{
    XStringW text;
    if (report.intervalText.IsEmpty()) {
        text.Format(L"Interval: %u ms (default)", report.intervalMs);
    } else if (report.intervalNotANumber) {
        text.Format(L"Interval: %u ms (set to \"%@\", which is no number of milliseconds)",
                    report.intervalMs, WithControlCharactersShown(report.intervalText));
    } else if (report.intervalAdjusted) {
        text.Format(L"Interval: %u ms (set to %@, kept within %u ms .. %u ms)", report.intervalMs,
                    report.intervalText, kMinIntervalMs, kMaxIntervalMs);
    } else {
        text.Format(L"Interval: %u ms", report.intervalMs);
    }
    return text;
}

void PrintText(const XStringW& serviceName, const ListReport& report, bool verbose,
               ULONGLONG now)
{
    XStringW first;
    first.Format(L"%@: %@", serviceName, ServiceStateWords(report));
    WriteOutputLine(first);
    if (report.entries.empty()) {
        WriteOutputLine(XStringW(L"the watch list is empty"));
    }
    // The columns of what the service published appear only when it published something (it
    // runs, or ran since the machine started).
    std::vector<XStringW> runs;
    int widths[4] = {0, 11, 0, 0};
    for (const EntryReport& entry : report.entries) {
        runs.push_back(RunColumn(entry, now));
        widths[0] = std::max(widths[0], WithControlCharactersShown(entry.name).GetLength());
        widths[1] = std::max(widths[1], runs.back().GetLength());
        widths[2] = std::max(widths[2], RestartsColumn(entry).GetLength());
        widths[3] = std::max(widths[3], ExitColumn(entry).GetLength());
    }
    for (size_t i = 0; i < report.entries.size(); ++i) {
        const EntryReport& entry = report.entries[i];
        XStringW line;
        line.Format(L"%@  %@  %@  ", Padded(WithControlCharactersShown(entry.name), widths[0]),
                    Padded(entry.source == EntrySource::kPolicy ? XStringW(L"policy")
                                                                : StateOf(entry.statusText),
                           6),
                    Padded(runs[i], widths[1]));
        if (report.anyPublished) {
            line.AppendFormat(L"%@  %@  ", Padded(RestartsColumn(entry), widths[2]),
                              Padded(ExitColumn(entry), widths[3]));
        }
        line += ShownPath(entry);
        WriteOutputLine(line);
        if (verbose) {
            XStringW detail;
            detail.Format(L"    arguments: %@", entry.arguments.IsEmpty()
                                                    ? XStringW(L"(none)")
                                                    : WithControlCharactersShown(entry.arguments));
            WriteOutputLine(detail);
            detail.Format(L"    directory: %@",
                          entry.directory.IsEmpty() ? XStringW(L"(the program's own folder)")
                                                    : WithControlCharactersShown(entry.directory));
            WriteOutputLine(detail);
            WriteOutputLine(AliveDetail(entry));
        }
    }
    for (const RefusedPolicyProgram& refusal : report.policyRefusals) {
        WriteOutputLine(RefusalLine(refusal));
    }
    WriteOutputLine(IntervalLine(report));
    if (report.companionMissing) {
        WriteOutputLine(XStringW(L"Hang watch: no companion asked for it within a minute, so "
                                 L"hangs are not detected"));
    }
}

const wchar_t* RunStateName(RunState run)
{
    switch (run) {
    case RunState::kRunning:
        return L"running";
    case RunState::kBackingOff:
        return L"backing off";
    case RunState::kNotRunning:
        break;
    }
    return L"not running";
}

// {"kind": "port", "target": "8080", "timeoutSeconds": 60, "lastResult": "...", "good": ...,
// "failingSince": ...}, or null without a check. The last result is the service's last look
// while the program runs.
XStringW AliveJson(const EntryReport& entry)
{
    if (!entry.alive.IsSet()) {
        return XStringW(L"null");
    }
    const bool looked =
        entry.published && entry.state.aliveKnown && entry.run == RunState::kRunning;
    JsonObjectWriter json(8);
    json.Text(L"kind", XStringW(alive_check::KindName(entry.alive.kind)));
    json.Text(L"target", entry.alive.target);
    json.Number(L"timeoutSeconds", alive_check::TimeoutSeconds(entry.hangTimeoutSeconds));
    json.TextOrNull(L"lastResult", entry.state.aliveResult, looked);
    json.Raw(L"good", XStringW(!looked ? L"null" : entry.state.aliveGood ? L"true" : L"false"));
    json.TextOrNull(L"failingSince", IsoTime(entry.state.aliveFailingSince),
                    looked && !entry.state.aliveGood && entry.state.aliveFailingSince != 0);
    return json.Close();
}

XStringW EntryJson(const EntryReport& entry)
{
    JsonObjectWriter json(6);
    json.Text(L"name", entry.name);
    json.TextOrNull(L"path", entry.path, entry.hasPath);
    json.Text(L"arguments", entry.arguments);
    json.TextOrNull(L"directory", entry.directory, !entry.directory.IsEmpty());
    json.Text(L"source", XStringW(EntrySourceName(entry.source)));
    json.Text(L"status", XStringW(entry.active ? L"active" : L"paused"));
    json.Text(L"state", XStringW(RunStateName(entry.run)));
    json.TextOrNull(L"reason", entry.failure, !entry.failure.IsEmpty());
    json.NumberOrNull(L"pid", entry.processId, entry.processId != 0);
    json.TextOrNull(L"startedAt", IsoTime(entry.startedAt), entry.startedAt != 0);
    json.NumberOrNull(L"hangTimeoutSeconds", entry.hangTimeoutSeconds,
                      entry.hangTimeoutSeconds != 0);
    json.TextOrNull(L"notRespondingAt", IsoTime(entry.state.notRespondingAt),
                    entry.published && entry.state.notRespondingAt != 0);
    json.TextOrNull(L"notRespondingReason", entry.state.notRespondingReason,
                    entry.published && entry.state.notRespondingAt != 0 &&
                        !entry.state.notRespondingReason.IsEmpty());
    json.Raw(L"aliveCheck", AliveJson(entry));
    json.NumberOrNull(L"restarts", entry.state.restarts, entry.published);
    json.NumberOrNull(L"lastExitCode", entry.state.exitCode,
                      entry.published && entry.state.hasExit);
    json.NumberOrNull(L"nextStartInSeconds", entry.nextStartInSeconds,
                      entry.run == RunState::kBackingOff);
    json.Raw(L"watched", XStringW(entry.active && !entry.pastWatchedCap ? L"true" : L"false"));
    return json.Close();
}

XStringW RefusalJson(const RefusedPolicyProgram& refusal)
{
    JsonObjectWriter json(6);
    json.Text(L"value", refusal.name);
    json.Text(L"reason", refusal.reason);
    return json.Close();
}

// The items as a JSON array, one object per line, as a member of the document.
template <typename Item>
XStringW JsonArray(const std::vector<Item>& items, XStringW (*toJson)(const Item&))
{
    XStringW array(L"[");
    for (size_t i = 0; i < items.size(); ++i) {
        array.AppendFormat(L"%s\r\n    %@", i == 0 ? L"" : L",", toJson(items[i]));
    }
    array += items.empty() ? L"]" : L"\r\n  ]";
    return array;
}

void PrintJson(const ListReport& report)
{
    JsonObjectWriter json(2);
    json.Number(L"schemaVersion", 1);
    json.Text(L"service", ServiceStateWords(report));
    json.Number(L"intervalMs", report.intervalMs);
    json.Raw(L"entries", JsonArray(report.entries, EntryJson));
    json.Raw(L"policyRefused", JsonArray(report.policyRefusals, RefusalJson));
    WriteOutputLine(json.Close());
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

ListReport GatherListReport(const XStringW& serviceName)
{
    ListReport report;
    ServiceQuery query;
    report.serviceQueried = CWindowService::Query(serviceName, query);
    report.serviceInstalled = report.serviceQueried && query.installed;
    report.serviceState = report.serviceInstalled ? query.state : 0;
    const MachinePolicy policy = machine_policy::Read();
    GatherInterval(report, policy);
    GatherPolicyRefusals(report, policy);

    // One look at the processes answers "does it run" for every entry; only those of the user's
    // own session count, as other users' copies are not this user's programs.
    const ProcessTable processes = ProcessTable::TakeForOwnSession();
    const XStringW sid = EntryStateStore::ProcessUserSid();
    const ULONGLONG now = EntryStateStore::FileTimeNow();
    bool hangWatched = false;
    for (const WatchListEntry& listed : GetMergedList(policy)) {
        report.entries.push_back(GatherEntry(listed, sid, processes, report.ServiceRuns(),
                                             report.intervalMs, now));
        EntryReport& entry = report.entries.back();
        if (listed.source == EntrySource::kPolicy) {
            entry.hangTimeoutSeconds = policy.HangTimeoutInUse();
            const PolicyProgram* const program = policy.Find(listed.name);
            entry.alive = program != nullptr ? program->alive : alive_check::Check();
        } else {
            entry.hangTimeoutSeconds = hang_timeout::ForUserEntry(listed.name);
            entry.alive = alive_check::ForUserEntry(listed.name);
        }
        hangWatched = hangWatched || entry.hangTimeoutSeconds != 0;
        report.anyPublished = report.anyPublished || report.entries.back().published;
    }
    report.companionMissing = hangWatched && report.ServiceRuns() &&
                              EntryStateStore::ReadCompanionMissing(sid);
    return report;
}

XStringW ServiceStateWords(const ListReport& report)
{
    if (!report.serviceQueried) {
        return XStringW(L"unknown (the service manager could not be asked)");
    }
    if (!report.serviceInstalled) {
        return XStringW(L"not installed");
    }
    return XStringW(StateName(report.serviceState));
}

int RunListCommand(const Operands& operands)
{
    ListView view = ListView::kText;
    if (operands.size() == 1 && (operands[0].Compare(L"-v") == 0 ||
                                 operands[0].Compare(L"--verbose") == 0)) {
        view = ListView::kVerbose;
    } else if (operands.size() == 1 && operands[0].Compare(L"--json") == 0) {
        view = ListView::kJson;
    } else if (!operands.empty()) {
        return UsageError(L"list", operands.size() == 1 ? operands[0] : operands[1]);
    }
    const XStringW serviceName(kServiceName);
    const ListReport report = GatherListReport(serviceName);
    if (view == ListView::kJson) {
        PrintJson(report);
    } else {
        PrintText(serviceName, report, view == ListView::kVerbose,
                  EntryStateStore::FileTimeNow());
    }
    return kExitSuccess;
}

int RunCheckCommand(const Operands& operands)
{
    if (!operands.empty()) {
        return UsageError(L"check", operands.front());
    }
    const XStringW serviceName(kServiceName);
    const ListReport report = GatherListReport(serviceName);
    XStringW line;
    if (!report.ServiceRuns()) {
        line.Format(L"%@: %@", serviceName, ServiceStateWords(report));
        WriteOutputLine(line);
        return kExitFailed;
    }
    const ULONGLONG now = EntryStateStore::FileTimeNow();
    int inTrouble = 0;
    int active = 0;
    for (const EntryReport& entry : report.entries) {
        if (!entry.active) {
            continue;
        }
        ++active;
        if (entry.run != RunState::kRunning || entry.endedNotResponding || entry.pastWatchedCap ||
            entry.AliveFailing()) {
            ++inTrouble;
            line.Format(L"%@: %@", WithControlCharactersShown(entry.name), RunColumn(entry, now));
            WriteOutputLine(line);
        }
    }
    // A refused policy value is a program or a setting that the administrator meant and the
    // service does not have.
    for (const RefusedPolicyProgram& refusal : report.policyRefusals) {
        ++inTrouble;
        WriteOutputLine(RefusalLine(refusal));
    }
    if (inTrouble > 0) {
        return kExitCheckTrouble;
    }
    line.Format(L"%@: running; all %d active entries run", serviceName, active);
    WriteOutputLine(line);
    return kExitSuccess;
}

int PrintServiceStatus(const XStringW& serviceName)
{
    ServiceQuery query;
    DWORD error = 0;
    XStringW text;
    if (!CWindowService::Query(serviceName, query, &error)) {
        text.Format(L"could not query %@ (error %u)", serviceName, error);
        WriteErrorLine(text);
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
