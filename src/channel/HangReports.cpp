#include "channel/HangReports.h"

#include <algorithm>

#include "strings/CaseFold.h"
#include "trace/Trace.h"

namespace {
constexpr const char* kFunction = "HangReports::Judge";
}  // namespace

void HangReports::SetTargets(std::vector<Target> newTargets)
{
    const std::lock_guard<std::mutex> guard(lock);
    targets = std::move(newTargets);
    const auto isTarget = [&](DWORD processId) {
        return std::any_of(targets.begin(), targets.end(),
                           [&](const Target& target) { return target.processId == processId; });
    };
    pending.erase(std::remove_if(pending.begin(), pending.end(),
                                 [&](const Report& report) { return !isTarget(report.processId); }),
                  pending.end());
    for (auto hang = hangs.begin(); hang != hangs.end();) {
        hang = isTarget(hang->first) ? std::next(hang) : hangs.erase(hang);
    }
}

void HangReports::SetCompanion(std::vector<DWORD> processIds, const XStringW& imagePath)
{
    const std::lock_guard<std::mutex> guard(lock);
    companionIds = std::move(processIds);
    companionImage = imagePath;
}

bool HangReports::IsCompanion(DWORD processId, const XStringW& imagePath) const
{
    const std::lock_guard<std::mutex> guard(lock);
    return processId != 0 && !companionImage.IsEmpty() &&
           std::find(companionIds.begin(), companionIds.end(), processId) != companionIds.end() &&
           FoldCase(imagePath.GetString()) == FoldCase(companionImage.GetString());
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

HangReports::Verdict HangReports::Judge(DWORD sessionId, DWORD processId, DWORD hintSeconds,
                                        const TokenIdentity& reporter)
{
    const ULONGLONG now = clock();
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
        TraceError(kFunction, __LINE__, L"session %u: process %u runs in session %u, refused",
                   sessionId, processId, targetSession);
        return Verdict::kOtherSession;
    }
    // A hang whose reports stopped for a while has ended; this report starts a new one.
    Hang& hang = hangs[processId];
    const bool fresh = hang.since == 0 || now - hang.lastReport > channel::kLongestReportGapMs;
    if (fresh) {
        hang.since = now;
    }
    hang.lastReport = now;
    const ULONGLONG timedMs = now - hang.since;
    const XStringW name = target->name;
    if (timedMs < target->timeoutSeconds * 1000ULL) {
        const DWORD timeout = target->timeoutSeconds;
        guard.unlock();
        if (fresh) {
            TraceLog(kFunction, __LINE__,
                     L"%@ process %u: not responding (%u s by the companion), timed from now "
                     L"against its timeout of %u s",
                     name, processId, hintSeconds, timeout);
        }
        return Verdict::kTiming;
    }
    const bool known = std::any_of(pending.begin(), pending.end(), [&](const Report& report) {
        return report.processId == processId;
    });
    if (!known) {
        pending.push_back({name, processId, static_cast<DWORD>(timedMs / 1000), reporter});
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
    for (const Report& report : taken) {
        hangs.erase(report.processId);
    }
    return taken;
}

ULONGLONG HangReports::LastContact() const
{
    const std::lock_guard<std::mutex> guard(lock);
    return lastContact;
}

void HangReports::NoteContact()
{
    const ULONGLONG now = clock();
    const std::lock_guard<std::mutex> guard(lock);
    lastContact = now;
}
