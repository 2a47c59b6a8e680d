#include "trace/EventLog.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "common/ScopedHandle.h"
#include "strings/CaseFold.h"
#include "strings/CommandLineText.h"
#include "strings/ErrorText.h"
#include "strings/ExitCodeText.h"
#include "trace/EventMessages.h"
#include "trace/Trace.h"

namespace event_log {
ReportFunction reportEvent = ::ReportEventW;
TickCountFunction tickCount = ::GetTickCount64;
}  // namespace event_log

namespace {

constexpr const char* kReportName = "EventLog::Report";
// Information, warning and error entries.
constexpr DWORD kTypesSupported =
    EVENTLOG_INFORMATION_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_ERROR_TYPE;
static_assert(kTypesSupported == 7, "the three types this source reports");

XStringW SourceKeyPath()
{
    XStringW path(event_log::kApplicationLogKeyPath);
    path.AppendFormat(L"\\%s", event_log::kSourceName);
    return path;
}

XStringW Number(DWORD value)
{
    XStringW text;
    text.Format(L"%u", value);
    return text;
}

// Entries are rare (a start, a stop, a program in trouble), so the source is opened for each.
void Report(WORD type, DWORD eventId, const std::vector<XStringW>& inserts)
{
    const ScopedEventSource source(::RegisterEventSourceW(nullptr, event_log::kSourceName));
    if (!source) {
        TraceError(kReportName, __LINE__, L"RegisterEventSource(GetLastError:%u), event 0x%08X",
                   ::GetLastError(), eventId);
        return;
    }
    // Shown as the list command shows them: a value cannot break a message into forged lines.
    std::vector<XStringW> shown;
    for (const XStringW& insert : inserts) {
        shown.push_back(WithControlCharactersShown(insert));
    }
    std::vector<LPCWSTR> strings;
    for (const XStringW& insert : shown) {
        strings.push_back(insert.GetString());
    }
    if (!event_log::reportEvent(source.Get(), type, 0, eventId, nullptr,
                                static_cast<WORD>(strings.size()), 0,
                                strings.empty() ? nullptr : strings.data(), nullptr)) {
        TraceError(kReportName, __LINE__, L"ReportEvent(GetLastError:%u), event 0x%08X",
                   ::GetLastError(), eventId);
    }
}

// A program in trouble is in trouble again at every pass: each kind of event of each entry is
// reported at most once an hour, and the next report says how many went unreported meanwhile.
// A kind's record goes once its hour is over with nothing held back; the records of an entry
// that left the list go once their hour is over (ForgetProgramEventsExcept).
constexpr ULONGLONG kRepeatWindowMs = 60ULL * 60 * 1000;

struct ReportedKind {
    ULONGLONG reportedAt = 0;
    bool reported = false;  // false: held back by its list's limit before it was ever reported
    DWORD heldBack = 0;

    bool IsWithinItsHour(ULONGLONG now) const
    {
        return reported && now - reportedAt < kRepeatWindowMs;
    }
};

// Per folded entry name, per kind (the event id and its detail).
using KindRecords = std::map<std::pair<DWORD, DWORD>, ReportedKind>;
using EntryRecords = std::map<std::wstring, KindRecords>;
// One user's own entries, or the policy's entries as that user's pass watched them.
struct ListRecords {
    std::deque<ULONGLONG> reportTimes;  // within the last hour, oldest first
    EntryRecords entries;
};
// By folded user SID and whether the entries are the policy's.
using ListKey = std::pair<std::wstring, bool>;
SRWLOCK recordsGuard = SRWLOCK_INIT;
std::map<ListKey, ListRecords> reportedEvents;

void DropReportsBefore(ListRecords& list, ULONGLONG now)
{
    while (!list.reportTimes.empty() && now - list.reportTimes.front() >= kRepeatWindowMs) {
        list.reportTimes.pop_front();
    }
}

// True when the event is to be reported now, with the number held back since the last report
// in *heldBack; false when it is held back, with the reason in *why.
bool TakeReportTurn(const ProgramEventSubject& subject, DWORD eventId, DWORD detail,
                    DWORD* heldBack, const wchar_t** why)
{
    const ULONGLONG now = event_log::tickCount();
    const MutexLock lock(recordsGuard);
    ListRecords& list =
        reportedEvents[{FoldCase(subject.userSid.GetString()), subject.setByPolicy}];
    DropReportsBefore(list, now);
    KindRecords& kinds = list.entries[FoldCase(subject.name.GetString())];
    for (auto record = kinds.begin(); record != kinds.end();) {
        const bool over = !record->second.IsWithinItsHour(now);
        record = over && record->second.heldBack == 0 ? kinds.erase(record) : std::next(record);
    }
    ReportedKind& kind = kinds[{eventId, detail}];
    if (kind.IsWithinItsHour(now)) {
        ++kind.heldBack;
        *why = L"reported within the hour";
        return false;
    }
    // Held back for its list, it is counted like a repeat, and reported with the count as soon
    // as the list's hour has room.
    if (list.reportTimes.size() >= event_log::kListEventsPerHour) {
        ++kind.heldBack;
        *why = L"its list reported the most events an hour allows";
        return false;
    }
    *heldBack = kind.heldBack;
    kind = ReportedKind{now, true, 0};
    list.reportTimes.push_back(now);
    return true;
}

// The five insertion strings every event about a program starts with.
std::vector<XStringW> SubjectInserts(const ProgramEventSubject& subject)
{
    return {subject.name, subject.path, subject.userName, subject.userSid,
            Number(subject.sessionId)};
}

// Reports an event about a program, unless its turn has not come yet.
void ReportAboutProgram(WORD type, DWORD eventId, DWORD detail,
                        const ProgramEventSubject& subject, std::vector<XStringW> specific,
                        std::vector<XStringW> afterRepeats = {})
{
    DWORD heldBack = 0;
    const wchar_t* why = L"";
    if (!TakeReportTurn(subject, eventId, detail, &heldBack, &why)) {
        TraceLog(kReportName, __LINE__, L"event %u of %@ held back: %s", eventId & 0xFFFF,
                 subject.name, why);
        return;
    }
    TraceLog(kReportName, __LINE__, L"event %u of %@ reported", eventId & 0xFFFF, subject.name);
    std::vector<XStringW> inserts = SubjectInserts(subject);
    inserts.insert(inserts.end(), specific.begin(), specific.end());
    inserts.push_back(Number(heldBack));
    inserts.insert(inserts.end(), afterRepeats.begin(), afterRepeats.end());
    Report(type, eventId, inserts);
}

bool Failed(DWORD* error, LONG status)
{
    if (error != nullptr) {
        *error = static_cast<DWORD>(status);
    }
    return false;
}

}  // namespace

bool event_log::InstallSource(const XStringW& messageFile, DWORD* error)
{
    ScopedRegKey key;
    LONG status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, SourceKeyPath().GetString(), 0, nullptr,
                                    REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                    nullptr, key.Receive(), nullptr);
    if (status != ERROR_SUCCESS) {
        TraceError("event_log::InstallSource", __LINE__, L"RegCreateKeyEx(GetLastError:%d)",
                   status);
        return Failed(error, status);
    }
    const DWORD fileBytes = static_cast<DWORD>((messageFile.GetLength() + 1) * sizeof(wchar_t));
    status = ::RegSetValueExW(key.Get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                              reinterpret_cast<const BYTE*>(messageFile.GetString()), fileBytes);
    if (status == ERROR_SUCCESS) {
        const DWORD types = kTypesSupported;
        status = ::RegSetValueExW(key.Get(), L"TypesSupported", 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&types), sizeof(types));
    }
    if (status != ERROR_SUCCESS) {
        TraceError("event_log::InstallSource", __LINE__, L"RegSetValueEx(GetLastError:%d)",
                   status);
        return Failed(error, status);
    }
    return true;
}

bool event_log::RemoveSource(DWORD* error)
{
    const LONG status = ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, SourceKeyPath().GetString(),
                                          KEY_WOW64_64KEY, 0);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    TraceError("event_log::RemoveSource", __LINE__, L"RegDeleteKeyEx(GetLastError:%d)", status);
    return Failed(error, status);
}

void ReportServiceStarted()
{
    Report(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_STARTED, {});
}

void ReportServiceStopped()
{
    Report(EVENTLOG_INFORMATION_TYPE, MSG_SERVICE_STOPPED, {});
}

void ForgetProgramEventsExcept(const XStringW& userSid, const std::vector<std::wstring>& names)
{
    const ULONGLONG now = event_log::tickCount();
    const MutexLock lock(recordsGuard);
    const std::wstring sid = FoldCase(userSid.GetString());
    for (auto list = reportedEvents.begin(); list != reportedEvents.end();) {
        DropReportsBefore(list->second, now);
        EntryRecords& entries = list->second.entries;
        for (auto entry = entries.begin(); entry != entries.end();) {
            const bool listed = list->first.first == sid &&
                                std::find(names.begin(), names.end(), entry->first) != names.end();
            KindRecords& kinds = entry->second;
            for (auto kind = kinds.begin(); !listed && kind != kinds.end();) {
                kind = kind->second.IsWithinItsHour(now) ? std::next(kind) : kinds.erase(kind);
            }
            entry = kinds.empty() ? entries.erase(entry) : std::next(entry);
        }
        const bool empty = entries.empty() && list->second.reportTimes.empty();
        list = empty ? reportedEvents.erase(list) : std::next(list);
    }
}

void ReportProgramStartFailed(const ProgramEventSubject& subject, DWORD error)
{
    ReportAboutProgram(EVENTLOG_ERROR_TYPE, MSG_PROGRAM_START_FAILED, error, subject,
                       {Number(error), SystemMessageText(error)});
}

void ReportProgramNotFound(const ProgramEventSubject& subject, MissingProgram how)
{
    const wchar_t* const why = how == MissingProgram::kNoFile
                                   ? L"the file does not exist"
                                   : L"cmd.exe could not find it (exit code 9009)";
    ReportAboutProgram(EVENTLOG_ERROR_TYPE, MSG_PROGRAM_NOT_FOUND, 0, subject, {why});
}

void ReportProgramExited(const ProgramEventSubject& subject, DWORD exitCode, DWORD ranSeconds)
{
    if (exitCode == 0) {
        return;
    }
    ReportAboutProgram(EVENTLOG_WARNING_TYPE, MSG_PROGRAM_EXITED, 0, subject,
                       {ExitCodeText(exitCode), Number(ranSeconds)});
}

void ReportProgramBackingOff(const ProgramEventSubject& subject, DWORD quickExits,
                             DWORD nextStartSeconds)
{
    ReportAboutProgram(EVENTLOG_WARNING_TYPE, MSG_PROGRAM_BACKING_OFF, 0, subject,
                       {Number(quickExits), Number(nextStartSeconds)});
}

void ReportProgramNotResponding(const ProgramEventSubject& subject, DWORD seconds,
                                const XStringW& what)
{
    // The repeats' count stays %7; what did not respond comes after it, as %8.
    ReportAboutProgram(EVENTLOG_WARNING_TYPE, MSG_PROGRAM_NOT_RESPONDING, 0, subject,
                       {Number(seconds)},
                       {what.IsEmpty() ? XStringW(L"no window of it answered") : what});
}

void ReportHangWatchBlind(const ProgramEventSubject& subject, DWORD silentSeconds)
{
    ReportAboutProgram(EVENTLOG_WARNING_TYPE, MSG_HANG_WATCH_BLIND, 0, subject,
                       {Number(silentSeconds)});
}

void ReportGuardHeld(const XStringW& objectName, const XStringW& owner)
{
    Report(EVENTLOG_WARNING_TYPE, MSG_GUARD_HELD, {objectName, owner});
}

void ReportCommandFailed(const XStringW& command, const XStringW& answer)
{
    Report(EVENTLOG_ERROR_TYPE, MSG_COMMAND_FAILED, {command, answer});
}
