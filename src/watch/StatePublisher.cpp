#include "watch/StatePublisher.h"

#include <algorithm>

#include "watch/NameKey.h"

namespace {
// A reading of the monotonic clock as the wall-clock time it stands for.
ULONGLONG AsFileTime(ULONGLONG at, ULONGLONG now, ULONGLONG fileTimeNow)
{
    if (at == 0) {
        return 0;
    }
    constexpr ULONGLONG kTicksPerMs = 10000;
    return at >= now ? fileTimeNow + (at - now) * kTicksPerMs : fileTimeNow - (now - at) * kTicksPerMs;
}

EntryState Readings(const RestartPolicy::Entry* entry)
{
    EntryState readings;
    if (entry != nullptr) {
        readings.processId = entry->processId;
        readings.startedAt = entry->seen ? entry->seenAt : 0;
        readings.hasExit = entry->hasExit;
        readings.exitCode = entry->exitCode;
        readings.exitedAt = entry->exitedAt;
        readings.quickExits = entry->quickExits;
        readings.nextStartAt = entry->nextStartAt;
        readings.restarts = entry->starts > 0 ? entry->starts - 1 : 0;
        readings.notRespondingAt = entry->notRespondingAt;
        readings.notRespondingSeconds = entry->notRespondingSeconds;
    }
    return readings;
}
}  // namespace

void StatePublisher::Publish(const XStringW& sid, const XStringW& name,
                             const RestartPolicy::Entry* entry)
{
    const std::wstring key = NameKey(name);
    const EntryState readings = Readings(entry);
    const auto known = published.find(key);
    if (known != published.end() && known->second == readings) {
        return;
    }
    const ULONGLONG now = seams.clock();
    const ULONGLONG fileTimeNow = EntryStateStore::FileTimeNow();
    EntryState state = readings;
    state.startedAt = AsFileTime(readings.startedAt, now, fileTimeNow);
    state.exitedAt = AsFileTime(readings.exitedAt, now, fileTimeNow);
    state.nextStartAt = AsFileTime(readings.nextStartAt, now, fileTimeNow);
    state.notRespondingAt = AsFileTime(readings.notRespondingAt, now, fileTimeNow);
    if (EntryStateStore::Write(sid, name, state)) {
        published[key] = readings;
    }
}

void StatePublisher::KeepOnly(const XStringW& sid, const std::vector<std::wstring>& keys)
{
    if (!(sid == publishedSid.GetString())) {
        return;
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
        return;
    }
    if (!publishedSid.IsEmpty()) {
        EntryStateStore::RemoveAll(publishedSid);
    }
    EntryStateStore::RemoveAll(sid);
    published.clear();
    publishedSid = sid;
}
