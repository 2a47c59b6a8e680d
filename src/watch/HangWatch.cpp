#include "watch/HangWatch.h"

#include <algorithm>
#include <vector>

#include "config/EntryStateStore.h"
#include "config/HangTimeout.h"
#include "trace/Trace.h"
#include "watch/NameKey.h"
#include "watch/WatchEvents.h"

HangWatch::HangWatch(const WatchSeams& watchSeams, HangReports::WakeFunc wake)
    : seams(watchSeams),
      reports(std::move(wake), [this] { return seams.clock(); }),
      channel(reports)
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

XStringW HangWatch::CompanionPath() const
{
    XStringW path = seams.moduleDirectory();
    path.AppendFormat(L"\\%s", kCompanionImageName);
    return path;
}

XStringW HangWatch::CompanionArguments(DWORD sessionId)
{
    const XStringW name = channel.ServeSession(sessionId);
    if (!channel.EnsureStarted()) {
        TraceError("HangWatch::CompanionArguments", __LINE__,
                   L"the companion's channel could not be started (error %u)", ::GetLastError());
        return XStringW();
    }
    if (name.IsEmpty()) {
        return XStringW();
    }
    XStringW arguments;
    arguments.Format(L"%s %@", channel::kPipeArgument, name);
    return arguments;
}

void HangWatch::EndReported(ProgramRuns& runs)
{
    for (const HangReports::Report& report : reports.Take()) {
        bool refused = false;
        const auto mayEnd = [&](HANDLE process) {
            const TokenIdentity owner = owners.processIdentity(process);
            refused = !MayEndFor(report.reporter, owner);
            if (refused) {
                TraceError("HangWatch::EndReported", __LINE__,
                           L"%@ process %u runs as %@ (integrity 0x%x), which %@ (integrity "
                           L"0x%x) could not end: left running",
                           report.name, report.processId, owner.userSid, owner.integrity,
                           report.reporter.userSid, report.reporter.integrity);
            }
            return !refused;
        };
        if (runs.EndNotResponding(report.name, report.processId, report.seconds, mayEnd)) {
            ReportNotResponding(report.name, report.processId, report.seconds);
        } else if (!refused) {
            TraceLog("HangWatch::EndReported", __LINE__,
                     L"%@ process %u reported not responding, but it ended", report.name,
                     report.processId);
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
    Companion companion;
    if (companionOf) {
        companion = companionOf(runs);
    } else {
        companion = {runs.LiveIds(kCompanionImageName), CompanionPath()};
    }
    reports.SetCompanion(std::move(companion.processIds), companion.imagePath);
    CompanionArguments(sessionId);
    CheckCompanion(sid, !timeouts.empty());
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

// "Once": the trace line and the event when the minute is over, the list's line for as long as
// it holds. The companion asks every two seconds, so a minute of silence is no gap of its own:
// it is missing, or something keeps it from the pipe.
void HangWatch::CheckCompanion(const XStringW& sid, bool anyTimeout)
{
    const ULONGLONG now = seams.clock();
    if (!anyTimeout) {
        timeoutsSince = 0;
    } else if (timeoutsSince == 0) {
        timeoutsSince = now;
    }
    const ULONGLONG heardAt = (std::max)(timeoutsSince, reports.LastContact());
    const bool missing = anyTimeout && now - heardAt >= kCompanionGraceMs;
    if (missing == companionMissing) {
        return;
    }
    companionMissing = missing;
    if (missing) {
        TraceError("HangWatch::CheckCompanion", __LINE__,
                   L"no companion asked for the hang watch within a minute: hangs are not detected");
        ReportHangWatchBlind(kCompanionImageName, CompanionPath(),
                             static_cast<DWORD>((now - heardAt) / 1000));
    }
    EntryStateStore::WriteCompanionMissing(sid, missing);
}
