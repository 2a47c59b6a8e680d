#include "watch/AliveChecks.h"

#include <vector>

#include "config/EntryStateStore.h"
#include "trace/Trace.h"
#include "watch/NameKey.h"
#include "watch/WatchEvents.h"

namespace {
// A timer is never set sooner than this after a change: looks that fall due together go
// together.
constexpr ULONGLONG kLeastTimerMs = 10;
}  // namespace

struct AliveChecks::Shared : std::enable_shared_from_this<AliveChecks::Shared> {
    SRWLOCK lock = SRWLOCK_INIT;
    AliveBoard board;
    WakeFunc wake;
    AliveSeams::ProbeFunc probe = nullptr;
    WatchSeams::ClockFunc clock = nullptr;
    PTP_TIMER timer = nullptr;  // null once stopped

    // Sets the timer for the next look due; under the lock.
    void Arm()
    {
        if (timer == nullptr) {
            return;
        }
        const ULONGLONG untilNext = board.MsUntilNextDue(clock());
        if (untilNext == AliveBoard::kNone) {
            ::SetThreadpoolTimer(timer, nullptr, 0, 0);
            return;
        }
        const LONGLONG relative =
            -static_cast<LONGLONG>((untilNext < kLeastTimerMs ? kLeastTimerMs : untilNext) * 10000);
        FILETIME due{};
        due.dwLowDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(relative));
        due.dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(relative) >> 32);
        ::SetThreadpoolTimer(timer, &due, 0, 0);
    }
};

// One look in flight: it owns a share of the board, so that a Stop need not wait for it.
struct AliveChecks::Look {
    std::shared_ptr<Shared> shared;
    AliveTarget target;
};

ProbeResult AliveSeams::Look(const AliveTarget& target)
{
    switch (target.check.kind) {
    case alive_check::Kind::kFile:
        return alive_probe::File(target.filePath);
    case alive_check::Kind::kPort:
        return alive_probe::Port(target.check.port);
    case alive_check::Kind::kUrl:
        return alive_probe::Url(target.check.target);
    case alive_check::Kind::kNone:
        break;
    }
    return ProbeResult();
}

AliveChecks::AliveChecks(const WatchSeams& seams, WakeFunc wake)
    : watchSeams(seams), shared(std::make_shared<Shared>())
{
    shared->wake = std::move(wake);
    shared->clock = seams.clock;
}

AliveChecks::~AliveChecks()
{
    Stop();
}

void AliveChecks::SetLookups(CheckLookup checks, TimeoutLookup timeouts)
{
    checkOf = std::move(checks);
    timeoutOf = std::move(timeouts);
}

void AliveChecks::Stop()
{
    {
        const MutexLock lock(shared->lock);
        shared->timer = nullptr;
    }
    timer.Reset();  // waits for a timer callback under way
    if (networking) {
        alive_probe::EndNetworking();
        networking = false;
    }
}

void CALLBACK AliveChecks::OnTimer(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER)
{
    StartDueLooks(static_cast<Shared*>(context)->shared_from_this());
}

void AliveChecks::StartDueLooks(const std::shared_ptr<Shared>& shared)
{
    WakeFunc wake;
    {
        const MutexLock lock(shared->lock);
        if (shared->timer == nullptr) {
            return;
        }
        StartLooks(*shared);
        if (shared->board.HasFailures()) {
            wake = shared->wake;
        }
    }
    if (wake) {
        wake();
    }
}

// Under the lock.
void AliveChecks::StartLooks(Shared& shared)
{
    const std::shared_ptr<Shared> owner = shared.shared_from_this();
    for (const AliveTarget& target :
         shared.board.TakeDue(shared.clock(), EntryStateStore::FileTimeNow())) {
        auto look = std::make_unique<Look>();
        look->shared = owner;
        look->target = target;
        if (::TrySubmitThreadpoolCallback(&AliveChecks::OnLook, look.get(), nullptr)) {
            look.release();  // OnLook owns it now
            continue;
        }
        ProbeResult failed;
        failed.words.Format(L"no look could be started (error %u)", ::GetLastError());
        TraceError("AliveChecks::StartLooks", __LINE__, L"%@: %@", target.name, failed.words);
        shared.board.Record(target, failed, shared.clock(), EntryStateStore::FileTimeNow());
    }
    shared.Arm();
}

void CALLBACK AliveChecks::OnLook(PTP_CALLBACK_INSTANCE, void* context)
{
    const std::unique_ptr<Look> look(static_cast<Look*>(context));
    Shared& shared = *look->shared;
    const ProbeResult result = shared.probe(look->target);
    WakeFunc wake;
    {
        const MutexLock lock(shared.lock);
        if (shared.timer == nullptr) {
            return;  // stopped meanwhile
        }
        const AliveStatus before = shared.board.StatusOf(look->target.name);
        shared.board.Record(look->target, result, shared.clock(), EntryStateStore::FileTimeNow());
        const AliveStatus after = shared.board.StatusOf(look->target.name);
        // Traced when it says something new: a heartbeat's age alone is nothing new.
        if (after.known && (!before.known || before.good != after.good ||
                            (!after.good && look->target.check.kind != alive_check::Kind::kFile &&
                             !(after.words == before.words.GetString())))) {
            TraceLog("AliveChecks::OnLook", __LINE__, L"%@: %@", look->target.name, after.words);
        }
        if (shared.board.HasFailures()) {
            wake = shared.wake;
        }
        shared.Arm();
    }
    if (wake) {
        wake();
    }
}

void AliveChecks::EndFailed(ProgramRuns& runs)
{
    std::vector<AliveFailure> failures;
    {
        const MutexLock lock(shared->lock);
        failures = shared->board.TakeFailures();
    }
    for (const AliveFailure& failure : failures) {
        // The process was seen as the run's, and its handle is held: it is ended as it is.
        const auto anyProcess = [](HANDLE) { return true; };
        if (runs.EndNotResponding(failure.name, failure.processId, failure.seconds, anyProcess,
                                  failure.reason)) {
            ReportNotResponding(failure.name, failure.processId, failure.seconds, failure.reason);
        } else {
            TraceLog("AliveChecks::EndFailed", __LINE__, L"%@ process %u failed its check (%@), but it ended",
                     failure.name, failure.processId, failure.reason);
        }
    }
}

void AliveChecks::Update(const XStringW& sid, const Expander& expand, const XStringWList& names,
                         bool listChanged, const ProgramRuns& runs)
{
    if (listChanged || !(sid == checksSid.GetString())) {
        ReadChecks(sid, expand, names);
    }
    std::vector<AliveTarget> targets;
    for (int i = 0; i < names.GetCount(); ++i) {
        const XStringW& name = names.GetAt(i);
        const auto found = checks.find(NameKey(name));
        if (found == checks.end()) {
            continue;
        }
        // Only a running program is checked: the run's own process while it lives.
        const std::vector<DWORD> live = runs.LiveIds(name);
        if (live.empty()) {
            continue;
        }
        DWORD processId = live.front();
        const RestartPolicy::Entry* const run = runs.Find(NameKey(name));
        for (const DWORD id : live) {
            if (run != nullptr && id == run->processId) {
                processId = id;
            }
        }
        targets.push_back({name, found->second.check, found->second.filePath, processId,
                           found->second.timeoutMs});
    }
    if (!targets.empty() && !timer.IsValid()) {
        networking = networking || alive_probe::StartNetworking();
        timer.Reset(::CreateThreadpoolTimer(&AliveChecks::OnTimer, shared.get(), nullptr));
        if (!timer.IsValid()) {
            TraceError("AliveChecks::Update", __LINE__, L"the alive checks' timer could not be made (error %u)",
                       ::GetLastError());
            return;
        }
    }
    {
        const MutexLock lock(shared->lock);
        shared->probe = seams.probe;
        shared->timer = timer.Get();
        shared->board.SetTargets(targets, watchSeams.clock());
    }
    if (timer.IsValid()) {
        StartDueLooks(shared);
    }
}

void AliveChecks::ReadChecks(const XStringW& sid, const Expander& expand,
                             const XStringWList& names)
{
    checksSid = sid;
    checks.clear();
    for (int i = 0; i < names.GetCount(); ++i) {
        const XStringW& name = names.GetAt(i);
        Entry entry;
        entry.check = checkOf ? checkOf(sid, name) : alive_check::ForEntry(sid, name);
        if (!entry.check.IsSet()) {
            continue;
        }
        const DWORD hangTimeout = timeoutOf ? timeoutOf(sid, name) : 0;
        entry.timeoutMs = static_cast<ULONGLONG>(alive_check::TimeoutSeconds(hangTimeout)) * 1000;
        if (entry.check.kind == alive_check::Kind::kFile) {
            entry.filePath = entry.check.target;
            if (entry.filePath.Find(L"%") >= 0 &&
                !expand(entry.check.target, entry.filePath)) {
                TraceError("AliveChecks::ReadChecks", __LINE__, L"%@: %@ could not be expanded for the user "
                           L"(error %u)", name, entry.check.target, ::GetLastError());
                entry.filePath = entry.check.target;
            }
        }
        TraceLog("AliveChecks::ReadChecks", __LINE__, L"%@ is checked: %@, timeout %u s", name,
                 entry.check.Text(), static_cast<unsigned>(entry.timeoutMs / 1000));
        checks[NameKey(name)] = entry;
    }
}

AliveStatus AliveChecks::StatusOf(const XStringW& name) const
{
    const MutexLock lock(shared->lock);
    return shared->board.StatusOf(name);
}
