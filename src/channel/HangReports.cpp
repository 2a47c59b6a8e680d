#include "channel/HangReports.h"

#include <algorithm>

#include "trace/Trace.h"

namespace {
constexpr const char* kFunction = "HangReports::Judge";
}  // namespace

void HangReports::SetTargets(std::vector<Target> newTargets)
{
    const std::lock_guard<std::mutex> guard(lock);
    targets = std::move(newTargets);
    pending.erase(std::remove_if(pending.begin(), pending.end(),
                                 [&](const Report& report) {
                                     return std::none_of(targets.begin(), targets.end(),
                                                         [&](const Target& target) {
                                                             return target.processId ==
                                                                    report.processId;
                                                         });
                                 }),
                  pending.end());
}

std::vector<channel::Target> HangReports::TargetsOf(DWORD sessionId) const
{
    const std::lock_guard<std::mutex> guard(lock);
    std::vector<channel::Target> answer;
    for (const Target& target : targets) {
        if (target.sessionId == sessionId && answer.size() < channel::kMaxTargets) {
            answer.push_back({target.processId, target.timeoutSeconds});
        }
    }
    return answer;
}

HangReports::Verdict HangReports::Judge(DWORD sessionId, DWORD processId, DWORD seconds)
{
    std::unique_lock<std::mutex> guard(lock);
    const auto target = std::find_if(targets.begin(), targets.end(), [&](const Target& known) {
        return known.processId == processId && processId != 0;
    });
    if (target == targets.end()) {
        guard.unlock();
        TraceError(kFunction, __LINE__,
                   L"session %u: process %u is no watched program with a hang timeout, refused",
                   sessionId, processId);
        return Verdict::kNotWatched;
    }
    if (target->sessionId != sessionId) {
        const DWORD targetSession = target->sessionId;
        guard.unlock();
        TraceError(kFunction, __LINE__,
                   L"session %u: process %u runs in session %u, refused", sessionId, processId,
                   targetSession);
        return Verdict::kOtherSession;
    }
    if (seconds < target->timeoutSeconds) {
        const XStringW name = target->name;
        const DWORD timeout = target->timeoutSeconds;
        guard.unlock();
        TraceError(kFunction, __LINE__,
                   L"%@ process %u: not responding for %u s is below its timeout of %u s, refused",
                   name, processId, seconds, timeout);
        return Verdict::kTooSoon;
    }
    const bool known = std::any_of(pending.begin(), pending.end(), [&](const Report& report) {
        return report.processId == processId;
    });
    if (!known) {
        pending.push_back({target->name, processId, seconds});
    }
    guard.unlock();
    if (!known && wake) {
        wake();
    }
    return Verdict::kAccepted;
}

std::vector<HangReports::Report> HangReports::Take()
{
    const std::lock_guard<std::mutex> guard(lock);
    std::vector<Report> taken;
    taken.swap(pending);
    return taken;
}

ULONGLONG HangReports::LastContact() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return lastContact;
}

void HangReports::NoteContact(ULONGLONG now)
{
    const std::lock_guard<std::mutex> guard(lock);
    lastContact = now;
}
