#include "watch/RestartPolicy.h"

#include <algorithm>

ULONGLONG RestartPolicy::DelayAfter(DWORD quickExits)
{
    if (quickExits == 0) {
        return 0;
    }
    // 2^9 s already passes the longest hold, so larger shifts are never taken.
    if (quickExits > 9) {
        return kLongestDelayMs;
    }
    return (std::min)(1000ULL << (quickExits - 1), kLongestDelayMs);
}

void RestartPolicy::Started(const std::wstring& key, ULONGLONG now, DWORD launchError)
{
    Entry& entry = entries[key];
    entry.startedAt = now;
    entry.awaiting = true;
    entry.seen = false;
    entry.processId = 0;
    ++entry.starts;
    entry.startError = launchError;
    if (launchError == 0) {
        ++entry.launches;
    }
}

void RestartPolicy::TakeBackLaunch(const std::wstring& key)
{
    const auto found = entries.find(key);
    if (found != entries.end() && found->second.launches > 0) {
        --found->second.launches;
    }
}

bool RestartPolicy::SeenRunning(const std::wstring& key, DWORD processId, ULONGLONG now)
{
    Entry& entry = entries[key];
    if (entry.seen && entry.awaiting) {
        if (processId != 0) {
            entry.processId = processId;
        }
        return false;
    }
    entry.awaiting = true;
    entry.seen = true;
    entry.seenAt = now;
    entry.processId = processId;
    if (entry.starts == 0) {
        entry.startedAt = now;  // started by someone else: its run counts from the sighting
    }
    return true;
}

void RestartPolicy::ExitSeen(const std::wstring& key, DWORD exitCode, ULONGLONG now)
{
    Entry& entry = entries[key];
    entry.hasExit = true;
    entry.exitCode = exitCode;
    entry.exitedAt = now;
}

void RestartPolicy::NotResponding(const std::wstring& key, DWORD seconds, ULONGLONG now,
                                  const std::wstring& reason)
{
    Entry& entry = entries[key];
    entry.notRespondingAt = now;
    entry.notRespondingSeconds = seconds;
    entry.notRespondingReason = reason;
}

RestartPolicy::Outcome RestartPolicy::Ended(const std::wstring& key, ULONGLONG ranMs, ULONGLONG now)
{
    const auto found = entries.find(key);
    if (found == entries.end() || !found->second.awaiting) {
        return Outcome();
    }
    return Decide(found->second, ranMs, now);
}

RestartPolicy::Outcome RestartPolicy::Lost(const std::wstring& key, ULONGLONG now)
{
    const auto found = entries.find(key);
    if (found == entries.end() || !found->second.awaiting) {
        return Outcome();
    }
    Entry& entry = found->second;
    const ULONGLONG ranMs = entry.seen ? now - entry.seenAt : 0;
    return Decide(entry, ranMs, now);
}

void RestartPolicy::Relaunched(const std::wstring& key, ULONGLONG now)
{
    Entry& entry = entries[key];
    entry.relaunched = true;
    entry.relaunchedAt = now;
    entry.awaiting = false;
    entry.seen = false;
    entry.processId = 0;
    entry.nextStartAt = 0;
}

RestartPolicy::Outcome RestartPolicy::Decide(Entry& entry, ULONGLONG ranMs, ULONGLONG now)
{
    entry.awaiting = false;
    entry.seen = false;
    entry.processId = 0;
    Outcome outcome;
    outcome.decided = true;
    outcome.quick = ranMs < kQuickRunMs;
    entry.quickExits = outcome.quick ? entry.quickExits + 1 : 0;
    outcome.quickExits = entry.quickExits;
    outcome.delayMs = DelayAfter(entry.quickExits);
    entry.nextStartAt = outcome.delayMs == 0 ? 0 : now + outcome.delayMs;
    return outcome;
}

bool RestartPolicy::MayRelaunch(const std::wstring& key, ULONGLONG now,
                                ULONGLONG spacingMs) const
{
    const Entry* const entry = Find(key);
    return entry == nullptr || !entry->relaunched || now - entry->relaunchedAt >= spacingMs;
}

bool RestartPolicy::IsAwaiting(const std::wstring& key) const
{
    const Entry* const entry = Find(key);
    return entry != nullptr && entry->awaiting;
}

bool RestartPolicy::MayStart(const std::wstring& key, ULONGLONG now) const
{
    const Entry* const entry = Find(key);
    return entry == nullptr || entry->nextStartAt <= now;
}

ULONGLONG RestartPolicy::MsUntilNextStart(ULONGLONG now) const
{
    ULONGLONG soonest = kNone;
    for (const auto& item : entries) {
        const ULONGLONG at = item.second.nextStartAt;
        if (at > now) {
            soonest = (std::min)(soonest, at - now);
        }
    }
    return soonest;
}

void RestartPolicy::ResetCount(const std::wstring& key)
{
    const auto found = entries.find(key);
    if (found != entries.end()) {
        found->second.quickExits = 0;
        found->second.nextStartAt = 0;
    }
}

bool RestartPolicy::EndHold(const std::wstring& key, ULONGLONG now)
{
    Entry& entry = entries[key];
    if (entry.holdEnded && now - entry.holdEndedAt < kHoldEndGapMs) {
        return false;
    }
    entry.holdEnded = true;
    entry.holdEndedAt = now;
    entry.nextStartAt = 0;
    return true;
}

void RestartPolicy::KeepOnly(const std::vector<std::wstring>& keys)
{
    for (auto item = entries.begin(); item != entries.end();) {
        if (std::find(keys.begin(), keys.end(), item->first) == keys.end()) {
            item = entries.erase(item);
        } else {
            ++item;
        }
    }
}

const RestartPolicy::Entry* RestartPolicy::Find(const std::wstring& key) const
{
    const auto found = entries.find(key);
    return found == entries.end() ? nullptr : &found->second;
}
