#include "watch/HangWatch.h"

#include <vector>

#include "config/EntryStateStore.h"
#include "config/HangTimeout.h"
#include "trace/Trace.h"
#include "watch/NameKey.h"
#include "watch/WatchEvents.h"

namespace {
constexpr const char* kFunction = "CQuorbelServiceThread::ThreadFunc";
}  // namespace

HangWatch::HangWatch(const WatchSeams& watchSeams, HangReports::WakeFunc wake)
    : seams(watchSeams), reports(std::move(wake)), channel(reports)
{
}

HangWatch::~HangWatch()
{
    Stop();
}

void HangWatch::Stop()
{
    channel.Stop();
}

void HangWatch::DropTargets()
{
    reports.SetTargets({});
    timeouts.clear();
    timeoutsSid = XStringW();
}

void HangWatch::EndReported(ProgramRuns& runs)
{
    for (const HangReports::Report& report : reports.Take()) {
        if (runs.EndNotResponding(report.name, report.processId, report.seconds)) {
            ReportNotResponding(report.name, report.processId, report.seconds);
        } else {
            TraceLog(kFunction, __LINE__, L"%@ process %u reported not responding, but it ended",
                     report.name, report.processId);
        }
    }
}

void HangWatch::Update(const XStringW& sid, DWORD sessionId, const XStringWList& names,
                       bool listChanged, const ProgramRuns& runs)
{
    if (listChanged || !(sid == timeoutsSid.GetString())) {
        ReadTimeouts(sid, names);
    }
    std::vector<HangReports::Target> targets;
    for (int i = 0; i < names.GetCount(); ++i) {
        const XStringW& name = names.GetAt(i);
        const auto timeout = timeouts.find(NameKey(name));
        if (timeout == timeouts.end()) {
            continue;
        }
        for (const DWORD processId : runs.LiveIds(name)) {
            targets.push_back({name, processId, sessionId, timeout->second});
        }
    }
    reports.SetTargets(std::move(targets));
    const bool anyTimeout = !timeouts.empty();
    // The pipe is served while entries of the session have a timeout; its thread stays.
    channel.ServeSession(anyTimeout ? sessionId : 0);
    if (anyTimeout && !channel.EnsureStarted()) {
        TraceError(kFunction, __LINE__, L"the companion's channel could not be started (error %u)",
                   ::GetLastError());
    }
    CheckCompanion(sid, anyTimeout);
}

void HangWatch::ReadTimeouts(const XStringW& sid, const XStringWList& names)
{
    timeoutsSid = sid;
    timeouts.clear();
    for (int i = 0; i < names.GetCount(); ++i) {
        const DWORD seconds = timeoutOf ? timeoutOf(sid, names.GetAt(i))
                                        : hang_timeout::ForEntry(sid, names.GetAt(i));
        if (seconds != 0) {
            timeouts[NameKey(names.GetAt(i))] = seconds;
        }
    }
}

// "Once": the trace line when the minute is over, the list's line for as long as it holds.
void HangWatch::CheckCompanion(const XStringW& sid, bool anyTimeout)
{
    const ULONGLONG now = seams.clock();
    if (!anyTimeout) {
        timeoutsSince = 0;
    } else if (timeoutsSince == 0) {
        timeoutsSince = now;
    }
    const bool missing = anyTimeout && reports.LastContact() == 0 &&
                         now - timeoutsSince >= kCompanionGraceMs;
    if (missing == companionMissing) {
        return;
    }
    companionMissing = missing;
    if (missing) {
        TraceError(kFunction, __LINE__,
                   L"no companion asked for the hang watch within a minute: hangs are not detected");
    }
    EntryStateStore::WriteCompanionMissing(sid, missing);
}
