#include "watch/ConsoleRecords.h"

#include <algorithm>

#include "process/CWinHelper.h"
#include "trace/Trace.h"
#include "watch/NameKey.h"

namespace {
XStringW ProcessIdText(DWORD processId)
{
    XStringW text;
    text.Format(L"%d", processId);
    return text;
}
}  // namespace

ConsoleRecords::ConsoleRecords()
    : pinfoList(), pinfoMutex(::CreateMutexW(nullptr, FALSE, nullptr)),
      waitMs(MutexLock::kDefaultTimeoutMs)
{
}

ConsoleRecords::~ConsoleRecords()
{
    const MutexLock lock(pinfoMutex.Get());
    if (lock.Owns()) {
        while (!pinfoList.empty()) {
            pinfoList.pop_front();
        }
    }
}

// The first record of the name; names are file names, so letter case does not count.
ConsoleRecords::PinfoIterator ConsoleRecords::FindRecord(const XStringW& name)
{
    const auto sameName = [&](const std::unique_ptr<_PINFO>& info) {
        return SameImageName(info->name.GetString(), name.GetString());
    };
    return std::find_if(pinfoList.begin(), pinfoList.end(), sameName);
}

// Walks pinfoList without pinfoMutex: only the watch thread changes the list, and this runs on it.
bool ConsoleRecords::IsAlive(const XStringW& name, const XStringWList& runningConsoleIds)
{
    const auto record = FindRecord(name);
    if (record == pinfoList.end()) {
        return false;
    }
    for (int i = 0; i < runningConsoleIds.GetCount(); ++i) {
        if ((*record)->pidList.Find(runningConsoleIds.GetAt(i)) >= 0) {
            TraceLog("CQuorbelServiceThread::IsRunCMD", __LINE__, L"found %@", name);
            return true;
        }
    }
    return false;
}

void ConsoleRecords::Add(const XStringW& name, DWORD processId, ScopedHandle console)
{
    TraceLog("CQuorbelServiceThread::AddCMDWatchList", __LINE__, L"+ %@, %d", name, processId);
    const MutexLock lock(pinfoMutex.Get(), waitMs);
    if (lock.Owns()) {
        AddLocked(name, processId, std::move(console));
    } else {
        // Without the mutex the list is left alone: the console goes unrecorded, so the
        // program may be started once more at a later pass.
        TraceError("CQuorbelServiceThread::AddCMDWatchList", __LINE__,
                   L"pinfoMutex wait failed, %@, %d not recorded", name, processId);
    }
    TraceLog("CQuorbelServiceThread::AddCMDWatchList", __LINE__, L"- %@, %d", name, processId);
}

// Called with pinfoMutex held.
void ConsoleRecords::AddLocked(const XStringW& name, DWORD processId, ScopedHandle console)
{
    const XStringW idText = ProcessIdText(processId);
    auto record = FindRecord(name);
    if (record == pinfoList.end()) {
        TraceLog("CQuorbelServiceThread::AddCMDWatchList", __LINE__, L"add name %@, add pid %d",
                 name, processId);
        auto info = std::make_unique<_PINFO>();
        info->name = name;
        info->pidList.Add(idText);
        pinfoList.push_back(std::move(info));
        record = std::prev(pinfoList.end());
    } else if ((*record)->pidList.Find(idText) < 0) {
        TraceLog("CQuorbelServiceThread::AddCMDWatchList", __LINE__,
                 L"exist name %@, add pid %d", name, processId);
        (*record)->pidList.Add(idText);
    } else {
        TraceLog("CQuorbelServiceThread::AddCMDWatchList", __LINE__,
                 L"exist name %@, exist pid %d", name, processId);
    }
    if (console) {
        (*record)->consoles[idText.GetString()] = std::move(console);
    }
}

void ConsoleRecords::Remove(const XStringW& name)
{
    TraceLog("CQuorbelServiceThread::RemoveCMDWatchList", __LINE__, L"+ %@", name);
    // Only the watch thread changes the list, so a name without a record needs no lock: a pass
    // over programs that all run then takes the mutex for none of them.
    if (FindRecord(name) == pinfoList.end()) {
        TraceLog("CQuorbelServiceThread::RemoveCMDWatchList", __LINE__, L"- %@", name);
        return;
    }
    const MutexLock lock(pinfoMutex.Get(), waitMs);
    if (lock.Owns()) {
        const auto record = FindRecord(name);
        if (record != pinfoList.end()) {
            TraceLog("CQuorbelServiceThread::RemoveCMDWatchList", __LINE__, L"remove %@", name);
            pinfoList.erase(record);
        }
    } else {
        // Without the mutex the record stays; a later pass that sees the program running
        // removes it then.
        TraceError("CQuorbelServiceThread::RemoveCMDWatchList", __LINE__,
                   L"pinfoMutex wait failed, %@ not removed", name);
    }
    TraceLog("CQuorbelServiceThread::RemoveCMDWatchList", __LINE__, L"- %@", name);
}

void ConsoleRecords::EndAll(UINT exitCode)
{
    const MutexLock lock(pinfoMutex.Get(), waitMs);
    if (!lock.Owns()) {
        TraceError("CQuorbelServiceThread::RemoveCMDWatchList", __LINE__,
                   L"pinfoMutex wait failed, consoles left running");
        return;
    }
    for (const auto& record : pinfoList) {
        for (const auto& console : record->consoles) {
            DWORD exitCodeNow = 0;
            if (::GetExitCodeProcess(console.second.Get(), &exitCodeNow) &&
                exitCodeNow == STILL_ACTIVE && !::TerminateProcess(console.second.Get(), exitCode)) {
                TraceError("CQuorbelServiceThread::RemoveCMDWatchList", __LINE__,
                           L"console %s of %@ not ended, error %d", console.first.c_str(),
                           record->name, ::GetLastError());
            }
        }
    }
    pinfoList.clear();
}

void ConsoleRecords::ForgetEnded(const XStringWList& runningConsoleIds)
{
    // Read without the mutex, as the watch thread alone changes the list: a steady pass, with
    // every program running, has no record and takes no lock here.
    if (pinfoList.empty()) {
        return;
    }
    const MutexLock lock(pinfoMutex.Get(), waitMs);
    if (!lock.Owns()) {
        return;  // the records are pruned at the next look at the consoles
    }
    for (auto record = pinfoList.begin(); record != pinfoList.end();) {
        XStringWList& ids = (*record)->pidList;
        XStringWList running;
        for (int i = 0; i < ids.GetCount(); ++i) {
            if (runningConsoleIds.Find(ids.GetAt(i)) >= 0) {
                running.Add(ids.GetAt(i));
            } else {
                NoteEnded(**record, ids.GetAt(i).GetString());
            }
        }
        if (running.GetCount() == 0) {
            record = pinfoList.erase(record);
            continue;
        }
        if (running.GetCount() != ids.GetCount()) {
            ids = running;
        }
        ++record;
    }
}

void ConsoleRecords::NoteEnded(_PINFO& record, const std::wstring& idText)
{
    const auto held = record.consoles.find(idText);
    if (held == record.consoles.end()) {
        return;
    }
    DWORD exitCode = STILL_ACTIVE;
    if (::GetExitCodeProcess(held->second.Get(), &exitCode) && exitCode != STILL_ACTIVE) {
        endedExitCodes[NameKey(record.name)] = exitCode;
    }
    record.consoles.erase(held);
}

std::map<std::wstring, DWORD> ConsoleRecords::TakeEndedExitCodes()
{
    std::map<std::wstring, DWORD> taken;
    taken.swap(endedExitCodes);
    return taken;
}
