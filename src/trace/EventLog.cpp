#include "trace/EventLog.h"

#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "common/ScopedHandle.h"
#include "strings/CaseFold.h"
#include "strings/ErrorText.h"
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
    std::vector<LPCWSTR> strings;
    for (const XStringW& insert : inserts) {
        strings.push_back(insert.GetString());
    }
    if (!event_log::reportEvent(source.Get(), type, 0, eventId, nullptr,
                                static_cast<WORD>(strings.size()), 0,
                                strings.empty() ? nullptr : strings.data(), nullptr)) {
        TraceError(kReportName, __LINE__, L"ReportEvent(GetLastError:%u), event 0x%08X",
                   ::GetLastError(), eventId);
    }
}

// A program that cannot start fails again at every pass: the same failure of the same program
// is reported once an hour, so that the log keeps room for everything else.
constexpr ULONGLONG kRepeatWindowMs = 60ULL * 60 * 1000;
constexpr size_t kRememberedFailures = 16;

struct StartFailure {
    DWORD error;
    ULONGLONG reportedAt;
};

bool IsRepeatedStartFailure(const XStringW& name, DWORD error)
{
    static SRWLOCK guard = SRWLOCK_INIT;
    static std::map<std::wstring, StartFailure> reported;
    const ULONGLONG now = event_log::tickCount();
    const MutexLock lock(guard);
    // Old records go, so that names that left the list do not pile up.
    for (auto record = reported.begin(); record != reported.end();) {
        record = now - record->second.reportedAt >= kRepeatWindowMs ? reported.erase(record)
                                                                    : std::next(record);
    }
    const std::wstring key = FoldCase(name.GetString());
    const auto found = reported.find(key);
    if (found != reported.end() && found->second.error == error) {
        return true;
    }
    // A bounded memory: a long list of failing programs is reported more often, never more
    // than once a pass.
    if (found == reported.end() && reported.size() >= kRememberedFailures) {
        auto oldest = reported.begin();
        for (auto record = reported.begin(); record != reported.end(); ++record) {
            if (record->second.reportedAt < oldest->second.reportedAt) {
                oldest = record;
            }
        }
        reported.erase(oldest);
    }
    reported[key] = StartFailure{error, now};
    return false;
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

void ReportProgramStartFailed(const XStringW& name, const XStringW& path, DWORD error)
{
    if (IsRepeatedStartFailure(name, error)) {
        TraceLog(kReportName, __LINE__, L"start failure of %@ (error %u) reported already", name,
                 error);
        return;
    }
    Report(EVENTLOG_ERROR_TYPE, MSG_PROGRAM_START_FAILED, {name, path, SystemErrorText(error)});
}

void ReportProgramExited(const XStringW& name, DWORD exitCode, DWORD ranSeconds)
{
    if (exitCode == 0) {
        return;
    }
    // Exit codes that are status values read best in hexadecimal, small ones in decimal.
    XStringW code;
    code.Format(L"%u (0x%08X)", exitCode, exitCode);
    Report(EVENTLOG_WARNING_TYPE, MSG_PROGRAM_EXITED, {name, code, Number(ranSeconds)});
}

void ReportProgramBackingOff(const XStringW& name, DWORD quickExits, DWORD nextStartSeconds)
{
    Report(EVENTLOG_WARNING_TYPE, MSG_PROGRAM_BACKING_OFF,
           {name, Number(quickExits), Number(nextStartSeconds)});
}
