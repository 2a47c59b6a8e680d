#include "watch/ExitWaits.h"

#include <algorithm>
#include <cwchar>

#include "common/FileTime.h"
#include "trace/Trace.h"
#include "watch/NameKey.h"

namespace {
// PROCESS_TERMINATE: a program whose window stopped responding is ended through this handle.
constexpr DWORD kWaitAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE;

ULONGLONG CreationTime(HANDLE process)
{
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    return ::GetProcessTimes(process, &created, &exited, &kernel, &user) ? FileTimeValue(created)
                                                                         : 0;
}

// Whether the process runs the program of that name (its image's file name, in any letter case).
bool RunsProgram(HANDLE process, const XStringW& name)
{
    wchar_t path[MAX_PATH * 2] = {};
    DWORD chars = sizeof(path) / sizeof(path[0]);
    if (!::QueryFullProcessImageNameW(process, 0, path, &chars)) {
        return false;
    }
    const wchar_t* const slash = std::wcsrchr(path, L'\\');
    return NameKey(slash != nullptr ? slash + 1 : path) == NameKey(name);
}

ULONGLONG SystemTimeNow()
{
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    return FileTimeValue(now);
}

// Whether a time a process reports can be one at all: no process was made or ended after now.
// Wine gives a process that is still starting up no creation time yet: its process list and
// GetProcessTimes both report a filler (0x5555555555555555, a date thousands of years ahead) for
// a few milliseconds after the start. Windows always reports the time.
bool IsRealTime(ULONGLONG time, ULONGLONG now)
{
    return time != 0 && time <= now;
}

// Whether the process opened by the id is the one the process list saw. A known time on both
// sides decides alone: the same time, or the id was given to another process since. Only where
// a side gave no time (see IsRealTime) does a process of the watched program count as the
// one seen, as nothing better can be known of it then.
bool IsProcessSeen(HANDLE process, const XStringW& name, ULONGLONG seenCreatedAt)
{
    const ULONGLONG now = SystemTimeNow();
    const ULONGLONG createdAt = CreationTime(process);
    if (IsRealTime(seenCreatedAt, now) && IsRealTime(createdAt, now)) {
        return createdAt == seenCreatedAt;
    }
    return RunsProgram(process, name);
}

struct ProcessEnd {
    ULONGLONG ranMs = 0;
    ULONGLONG endedAt = 0;  // 0: the process does not tell
};

ProcessEnd EndOf(HANDLE process)
{
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    ProcessEnd end;
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user) ||
        !IsRealTime(FileTimeValue(exited), SystemTimeNow())) {
        return end;
    }
    end.endedAt = FileTimeValue(exited);
    if (end.endedAt >= FileTimeValue(created)) {
        end.ranMs = (end.endedAt - FileTimeValue(created)) / kFileTimeTicksPerMs;
    }
    return end;
}
}  // namespace

ExitWaits::ExitWaits(WakeFunc wakeFunc) : wake(std::move(wakeFunc)) {}

ExitWaits::~ExitWaits()
{
    // Each record unregisters its wait (waiting for a callback under way) before it goes.
    waits.clear();
}

void CALLBACK ExitWaits::OnExit(void* context, BOOLEAN)
{
    Waited* const waited = static_cast<Waited*>(context);
    waited->endSeenAt.store(SystemTimeNow());
    waited->ended.store(true);
    if (waited->owner->wake) {
        waited->owner->wake();
    }
}

bool ExitWaits::Watch(const XStringW& name, const XStringWList& processIds,
                      const ProcessTable* seenIn)
{
    std::vector<std::unique_ptr<Waited>>& list = waits[NameKey(name)];
    // A process that failed to open and has left the table since is forgotten.
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const std::unique_ptr<Waited>& waited) {
                                  XStringW id;
                                  id.Format(L"%d", waited->processId);
                                  return !waited->wait && processIds.Find(id) < 0;
                              }),
               list.end());
    bool allWaited = true;
    for (int i = 0; i < processIds.GetCount(); ++i) {
        const DWORD processId = static_cast<DWORD>(processIds.GetAt(i).ToUInt());
        const auto known = std::find_if(list.begin(), list.end(), [&](const auto& waited) {
            return waited->processId == processId;
        });
        if (known != list.end()) {
            allWaited = allWaited && static_cast<bool>((*known)->wait);
            continue;
        }
        const ULONGLONG createdAt = seenIn != nullptr ? seenIn->CreationTime(processId) : 0;
        allWaited = Add(name, processId, createdAt, list) && allWaited;
    }
    return allWaited;
}

bool ExitWaits::Add(const XStringW& name, DWORD processId, ULONGLONG seenCreatedAt,
                    std::vector<std::unique_ptr<Waited>>& list)
{
    auto waited = std::make_unique<Waited>();
    waited->name = name;
    waited->processId = processId;
    waited->owner = this;
    waited->process.Reset(::OpenProcess(kWaitAccess, FALSE, processId));
    // A process list that did not know the id (no table given) has nothing to compare with.
    if (waited->process && seenCreatedAt != 0 &&
        !IsProcessSeen(waited->process.Get(), name, seenCreatedAt)) {
        TraceLog("ExitWaits::Watch", __LINE__,
                 L"%@ process %u has ended: its id names a process created since", name,
                 processId);
        waited->process.Reset();
        ::SetLastError(ERROR_INVALID_PARAMETER);
    }
    bool registered = false;
    if (waited->process) {
        registered = ::RegisterWaitForSingleObject(waited->wait.Receive(), waited->process.Get(),
                                                   &ExitWaits::OnExit, waited.get(), INFINITE,
                                                   WT_EXECUTEONLYONCE) != FALSE;
    }
    if (!registered && ::GetLastError() == ERROR_INVALID_PARAMETER && !waited->process) {
        // Gone between the snapshot and the open: that is an end, and the next pass finds it.
        list.push_back(std::move(waited));
        if (wake) {
            wake();
        }
        return true;
    }
    if (!registered) {
        TraceError("ExitWaits::Watch", __LINE__,
                   L"no wait on %@ process %d (error %d): its end is found by the interval poll",
                   name, processId, ::GetLastError());
        waited->wait.Release();  // a failed registration leaves no wait to unregister
        waited->process.Reset();
    }
    list.push_back(std::move(waited));
    return registered;
}

std::vector<ExitWaits::Exit> ExitWaits::TakeExits()
{
    std::vector<Exit> exits;
    for (auto& item : waits) {
        std::vector<std::unique_ptr<Waited>>& list = item.second;
        for (auto waited = list.begin(); waited != list.end();) {
            if (!(*waited)->ended.load()) {
                ++waited;
                continue;
            }
            Exit exit;
            exit.name = (*waited)->name;
            exit.processId = (*waited)->processId;
            ::GetExitCodeProcess((*waited)->process.Get(), &exit.exitCode);
            const ProcessEnd end = EndOf((*waited)->process.Get());
            exit.ranMs = end.ranMs;
            exit.endedAt = end.endedAt != 0 ? end.endedAt : (*waited)->endSeenAt.load();
            exits.push_back(exit);
            waited = list.erase(waited);
        }
    }
    return exits;
}

void ExitWaits::KeepOnly(const std::vector<std::wstring>& keys)
{
    for (auto item = waits.begin(); item != waits.end();) {
        if (item->second.empty() || std::find(keys.begin(), keys.end(), item->first) == keys.end()) {
            item = waits.erase(item);
        } else {
            ++item;
        }
    }
}

bool ExitWaits::HasExits() const
{
    for (const auto& item : waits) {
        for (const auto& waited : item.second) {
            if (waited->ended.load()) {
                return true;
            }
        }
    }
    return false;
}

size_t ExitWaits::Count() const
{
    size_t count = 0;
    for (const auto& item : waits) {
        count += item.second.size();
    }
    return count;
}

std::vector<DWORD> ExitWaits::LiveIds(const XStringW& name) const
{
    std::vector<DWORD> ids;
    const auto item = waits.find(NameKey(name));
    if (item == waits.end()) {
        return ids;
    }
    for (const auto& waited : item->second) {
        if (waited->process && !waited->ended.load()) {
            ids.push_back(waited->processId);
        }
    }
    return ids;
}

bool ExitWaits::Terminate(const XStringW& name, DWORD processId, UINT exitCode,
                          const EndCheck& mayEnd)
{
    const auto item = waits.find(NameKey(name));
    if (item == waits.end()) {
        return false;
    }
    for (const auto& waited : item->second) {
        if (waited->processId != processId || !waited->process || waited->ended.load()) {
            continue;
        }
        if (!mayEnd(waited->process.Get())) {
            return false;
        }
        if (!::TerminateProcess(waited->process.Get(), exitCode)) {
            TraceError("ExitWaits::Terminate", __LINE__, L"%@ process %u not ended (error %u)",
                       name, processId, ::GetLastError());
            return false;
        }
        return true;
    }
    return false;
}
