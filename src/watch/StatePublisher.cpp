#include "watch/StatePublisher.h"

#include <algorithm>
#include <iterator>

#include "common/FileTime.h"
#include "process/ProcessTimes.h"
#include "trace/Trace.h"
#include "watch/NameKey.h"

namespace {
// A reading of the monotonic clock as the wall-clock time it stands for.
ULONGLONG AsFileTime(ULONGLONG at, ULONGLONG now, ULONGLONG fileTimeNow)
{
    if (at == 0) {
        return 0;
    }
    return at >= now ? fileTimeNow + (at - now) * kFileTimeTicksPerMs
                     : fileTimeNow - (now - at) * kFileTimeTicksPerMs;
}

// The process's creation time tells it from a later one with the same id; it is asked for only
// when the id changed.
ULONGLONG CreationTimeOf(DWORD processId, const EntryState* known)
{
    if (processId == 0) {
        return 0;
    }
    if (known != nullptr && known->processId == processId) {
        return known->processCreatedAt;
    }
    ULONGLONG createdAt = 0;
    return ProcessCreationTime(processId, createdAt) ? createdAt : 0;
}

// A program an earlier run of the service saw running, or started again, was started once
// already: each launch of this run is a restart.
bool HadAFirstStart(const EntryState& earlier)
{
    return earlier.restarts > 0 || earlier.startedAt != 0 || earlier.processId != 0;
}

EntryState Readings(const RestartPolicy::Entry* entry, const EntryState* earlier,
                    const AliveStatus& alive)
{
    EntryState readings;
    readings.aliveKnown = alive.known;
    readings.aliveGood = alive.good;
    readings.aliveResult = alive.words;
    readings.aliveFailingSince = alive.failingSince;
    if (entry != nullptr) {
        readings.processId = entry->processId;
        readings.startedAt = entry->seen ? entry->seenAt : 0;
        readings.hasExit = entry->hasExit;
        readings.exitCode = entry->exitCode;
        readings.exitedAt = entry->exitedAt;
        readings.quickExits = entry->quickExits;
        readings.nextStartAt = entry->nextStartAt;
        readings.restarts = entry->launches > 0 ? entry->launches - 1 : 0;
        readings.startError = entry->startError;
        readings.notRespondingAt = entry->notRespondingAt;
        readings.notRespondingSeconds = entry->notRespondingSeconds;
        readings.notRespondingReason = entry->notRespondingReason.c_str();
    }
    if (earlier != nullptr) {
        if (HadAFirstStart(*earlier)) {
            readings.restarts = earlier->restarts + (entry != nullptr ? entry->launches : 0);
        }
        if (!readings.hasExit && earlier->hasExit) {
            // Kept as the wall-clock time it is; only the code and that it happened matter.
            readings.hasExit = true;
            readings.exitCode = earlier->exitCode;
        }
    }
    return readings;
}
}  // namespace

void StatePublisher::Publish(const XStringW& sid, const XStringW& name,
                             const RestartPolicy::Entry* entry, const AliveStatus& alive)
{
    const std::wstring key = NameKey(name);
    const auto earlier = carried.find(key);
    EntryState readings =
        Readings(entry, earlier == carried.end() ? nullptr : &earlier->second, alive);
    const auto known = published.find(key);
    readings.processCreatedAt =
        CreationTimeOf(readings.processId, known == published.end() ? nullptr : &known->second);
    if (known != published.end() && known->second == readings) {
        return;
    }
    const ULONGLONG now = seams.clock();
    const ULONGLONG fileTimeNow = EntryStateStore::FileTimeNow();
    EntryState state = readings;
    state.startedAt = AsFileTime(readings.startedAt, now, fileTimeNow);
    state.exitedAt = readings.exitedAt == 0 && readings.hasExit && earlier != carried.end()
                         ? earlier->second.exitedAt
                         : AsFileTime(readings.exitedAt, now, fileTimeNow);
    state.nextStartAt = AsFileTime(readings.nextStartAt, now, fileTimeNow);
    state.notRespondingAt = AsFileTime(readings.notRespondingAt, now, fileTimeNow);
    state.aliveFailingSince = AsFileTime(readings.aliveFailingSince, now, fileTimeNow);
    if (EntryStateStore::Write(sid, name, state)) {
        published[key] = readings;
    }
}

void StatePublisher::KeepOnly(const XStringW& sid, const std::vector<std::wstring>& keys)
{
    if (!(sid == publishedSid.GetString())) {
        return;
    }
    for (auto entry = carried.begin(); entry != carried.end();) {
        entry = std::find(keys.begin(), keys.end(), entry->first) == keys.end()
                    ? carried.erase(entry)
                    : std::next(entry);
    }
    for (auto entry = published.begin(); entry != published.end();) {
        if (std::find(keys.begin(), keys.end(), entry->first) == keys.end()) {
            EntryStateStore::Remove(sid, entry->first.c_str());
            entry = published.erase(entry);
        } else {
            ++entry;
        }
    }
}

// States left by an earlier run of the service, or published for another user, are dropped.
void StatePublisher::SwitchTo(const XStringW& sid)
{
    if (sid == publishedSid.GetString()) {
        if (!published.empty() && !EntryStateStore::Exists(sid)) {
            TraceLog("StatePublisher::SwitchTo", __LINE__,
                     L"published states were deleted: written again");
            published.clear();
        }
        return;
    }
    if (!publishedSid.IsEmpty()) {
        EntryStateStore::RemoveAll(publishedSid);
    }
    carried.clear();
    for (const auto& state : EntryStateStore::ReadAll(sid)) {
        carried[NameKey(state.first)] = state.second;
    }
    EntryStateStore::RemoveAll(sid);
    published.clear();
    publishedSid = sid;
}
