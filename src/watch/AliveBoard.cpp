#include "watch/AliveBoard.h"

#include <algorithm>

#include "common/FileTime.h"
#include "watch/NameKey.h"

namespace {

bool SameTarget(const AliveTarget& left, const AliveTarget& right)
{
    return left.processId == right.processId && left.check == right.check &&
           left.timeoutMs == right.timeoutMs &&
           left.filePath.Compare(right.filePath.GetString()) == 0;
}

// What a look that never came back says, in the words of one that timed out.
ProbeResult Overran(const AliveTarget& target)
{
    ProbeResult overran;
    switch (target.check.kind) {
    case alive_check::Kind::kPort:
        overran.words.Format(L"port %u accepted nothing within %u s", target.check.port,
                             alive_probe::kConnectTimeoutMs / 1000);
        break;
    case alive_check::Kind::kUrl:
        overran.words.Format(L"%@ did not answer within %u s", target.check.target,
                             alive_probe::kAnswerTimeoutMs / 1000);
        break;
    case alive_check::Kind::kFile:
    case alive_check::Kind::kNone:
        overran.words.Format(L"%@ could not be read within %u s", target.filePath,
                             alive_probe::kAnswerTimeoutMs / 1000);
        break;
    }
    return overran;
}

}  // namespace

void AliveBoard::SetTargets(const std::vector<AliveTarget>& targets, ULONGLONG now)
{
    std::map<std::wstring, Entry> next;
    for (const AliveTarget& target : targets) {
        const std::wstring key = NameKey(target.name);
        const auto known = entries.find(key);
        if (known != entries.end() && SameTarget(known->second.target, target)) {
            next[key] = std::move(known->second);
            continue;
        }
        Entry& entry = next[key];
        entry.target = target;
        entry.since = now;
    }
    entries = std::move(next);
}

ULONGLONG AliveBoard::GapMs(const Entry& entry)
{
    return (std::min)((std::max)(entry.target.timeoutMs / 4, kMinGapMs), kMaxGapMs);
}

ULONGLONG AliveBoard::LookBoundMs(alive_check::Kind kind)
{
    // A second more than the look's own bound, for the thread to start and to end.
    switch (kind) {
    case alive_check::Kind::kPort:
        return alive_probe::kConnectTimeoutMs + 1000;
    case alive_check::Kind::kFile:
    case alive_check::Kind::kUrl:
    case alive_check::Kind::kNone:
        break;
    }
    return alive_probe::kAnswerTimeoutMs + 1000;
}

ULONGLONG AliveBoard::DueAt(const Entry& entry)
{
    if (entry.failed) {
        return kNone;
    }
    if (entry.looking) {
        return entry.lookedAt + LookBoundMs(entry.target.check.kind);  // given up then
    }
    if (entry.lookedAt == 0) {
        return entry.since;
    }
    // The look when the timeout runs out comes early, but never sooner than the least gap.
    const ULONGLONG deadline = (std::max)(entry.since, entry.lastGood) + entry.target.timeoutMs;
    ULONGLONG due = entry.lookedAt + GapMs(entry);
    if (deadline > entry.lookedAt && deadline < due) {
        due = deadline;
    }
    return (std::max)(due, entry.lookedAt + kMinGapMs);
}

std::vector<AliveTarget> AliveBoard::TakeDue(ULONGLONG now, ULONGLONG fileNow)
{
    std::vector<AliveTarget> due;
    for (auto& known : entries) {
        Entry& entry = known.second;
        if (DueAt(entry) > now) {
            continue;
        }
        if (entry.looking) {
            RecordIn(entry, Overran(entry.target), now, fileNow);
            continue;  // the next look comes after the least gap
        }
        entry.looking = true;
        entry.lookedAt = now;
        entry.target.lookedAt = now;
        due.push_back(entry.target);
    }
    return due;
}

// A heartbeat counts from the file's last write; a write or size other than at the last look
// counts from that look at the latest, so that a file whose clock differs from ours (a share)
// still beats.
void AliveBoard::RecordFile(Entry& entry, const ProbeResult& result, ULONGLONG now,
                            ULONGLONG fileNow)
{
    if (!result.there) {
        return;
    }
    const ULONGLONG ageMs =
        fileNow > result.writtenAt ? (fileNow - result.writtenAt) / kFileTimeTicksPerMs : 0;
    ULONGLONG beat = now > ageMs ? now - ageMs : 0;
    const bool changed = entry.fileSeen && (result.writtenAt != entry.fileWrittenAt ||
                                            result.size != entry.fileSize);
    if (changed) {
        beat = (std::max)(beat, entry.fileLookedAt);
    }
    entry.fileLookedAt = now;
    entry.fileSeen = true;
    entry.fileWrittenAt = result.writtenAt;
    entry.fileSize = result.size;
    entry.lastGood = (std::max)(entry.lastGood, (std::min)(beat, now));
}

void AliveBoard::Record(const AliveTarget& looked, const ProbeResult& result, ULONGLONG now,
                        ULONGLONG fileNow)
{
    const auto found = entries.find(NameKey(looked.name));
    if (found == entries.end() || found->second.target.processId != looked.processId ||
        !found->second.looking || found->second.lookedAt != looked.lookedAt) {
        return;
    }
    RecordIn(found->second, result, now, fileNow);
}

void AliveBoard::RecordIn(Entry& entry, const ProbeResult& result, ULONGLONG now,
                          ULONGLONG fileNow)
{
    entry.looking = false;
    const DWORD processId = entry.target.processId;
    const bool isFile = entry.target.check.kind == alive_check::Kind::kFile;
    const ULONGLONG timeoutMs = entry.target.timeoutMs;
    bool good = result.good;
    XStringW words = result.words;
    if (isFile) {
        RecordFile(entry, result, now, fileNow);
        good = result.there && entry.lastGood != 0 && now - entry.lastGood <= timeoutMs;
        // Words that stay the same while the heartbeat does, so that nothing is published anew.
        if (good) {
            words.Format(L"heartbeat within %u s (%@)", static_cast<unsigned>(timeoutMs / 1000),
                         entry.target.filePath);
        } else if (result.there) {
            words.Format(L"no heartbeat in %u s (%@)",
                         static_cast<unsigned>((now - (std::max)(entry.since, entry.lastGood)) / 1000),
                         entry.target.filePath);
        } else {
            words.Format(L"no heartbeat: %@", result.words);
        }
    } else if (good) {
        entry.lastGood = now;
    }
    // The look before this one (or the run's start) begins a failing stretch.
    if (good) {
        entry.status.failingSince = 0;
    } else if (entry.status.good || !entry.status.known) {
        entry.status.failingSince = now;
    }
    entry.status.known = true;
    entry.status.good = good;
    entry.status.words = words;

    const ULONGLONG failedMs = now - (std::max)(entry.since, entry.lastGood);
    if (!good && failedMs >= timeoutMs) {
        entry.failed = true;
        failures.push_back({entry.target.name, processId, static_cast<DWORD>(failedMs / 1000),
                            FailureReason(entry, failedMs)});
    }
}

XStringW AliveBoard::FailureReason(const Entry& entry, ULONGLONG failedMs)
{
    const unsigned seconds = static_cast<unsigned>(failedMs / 1000);
    XStringW reason;
    if (entry.target.check.kind == alive_check::Kind::kFile) {
        reason.Format(L"no heartbeat in %u s (%@)", seconds, entry.target.filePath);
    } else {
        reason.Format(L"%@ for %u s", entry.status.words, seconds);
    }
    return reason;
}

std::vector<AliveFailure> AliveBoard::TakeFailures()
{
    std::vector<AliveFailure> taken;
    taken.swap(failures);
    return taken;
}

ULONGLONG AliveBoard::MsUntilNextDue(ULONGLONG now) const
{
    ULONGLONG next = kNone;
    for (const auto& known : entries) {
        const ULONGLONG due = DueAt(known.second);
        if (due != kNone) {
            next = (std::min)(next, due <= now ? 0 : due - now);
        }
    }
    return next;
}

AliveStatus AliveBoard::StatusOf(const XStringW& name) const
{
    const auto found = entries.find(NameKey(name));
    return found == entries.end() ? AliveStatus() : found->second.status;
}
