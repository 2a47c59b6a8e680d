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

ULONGLONG RunTimeMs(HANDLE process)
{
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user) ||
        FileTimeValue(exited) < FileTimeValue(created)) {
        return 0;
    }
    return (FileTimeValue(exited) - FileTimeValue(created)) / 10000;
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

bool ExitWaits::Add(const XStringW& name, DWORD processId, ULONGLONG createdAt,
                    std::vector<std::unique_ptr<Waited>>& list)
{
    auto waited = std::make_unique<Waited>();
    waited->name = name;
    waited->processId = processId;
    waited->owner = this;
    waited->process.Reset(::OpenProcess(kWaitAccess, FALSE, processId));
    // A process that cannot tell its creation time yet (under Wine, one still starting up) is
    // taken for the one seen: only a known, other time shows that the id was reused. Wine may
    // also tell a process just started by another time than its process list did: an id that
    // names a process of the same program is that program's either way.
    const ULONGLONG opened = waited->process ? CreationTime(waited->process.Get()) : 0;
    if (createdAt != 0 && opened != 0 && opened != createdAt &&
        !RunsProgram(waited->process.Get(), name)) {
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
            exit.ranMs = RunTimeMs((*waited)->process.Get());
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
