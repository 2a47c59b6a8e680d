// The console watch list: for every program name, the consoles (cmd.exe processes) started for
// it. A program is not started again while one of its consoles still runs; a console whose
// program already runs one second after the start is terminated at once. A record keeps only
// consoles that still ran when the console list was last taken, so it stays as small as the
// number of consoles alive, and a name without one has no record at all.

#include <windows.h>

#include <algorithm>

#include "process/CWinHelper.h"
#include "trace/EventLog.h"
#include "trace/Trace.h"
#include "watch/CQuorbelServiceThread.h"

namespace {
constexpr const wchar_t* kConsoleImageName = L"cmd.exe";

XStringW ProcessIdText(DWORD processId)
{
    XStringW text;
    text.Format(L"%d", processId);
    return text;
}
}  // namespace

DWORD CQuorbelServiceThread::RunProcess(const XStringW& name, const XStringW& path,
                                        const XStringW& arguments, const XStringW& directory)
{
    TraceLog("CQuorbelServiceThread::RunProcess", __LINE__, L"+%@", name);
    DWORD consoleId = 0;
    // Nothing new is started once the service is stopping.
    if (!IsQuitRequested() && !IsRunCMD(name)) {
        consoleId = launcher(path, arguments, directory, nullptr);
        if (consoleId == 0) {
            ReportProgramStartFailed(name, path, ::GetLastError());
        }
        // A quit request cuts the wait short; the console is still recorded or ended below.
        WaitForQuit(programStartWaitMs);
        // Whether the program runs now is asked of a fresh snapshot, which the pass goes on with.
        RefreshProcesses();
        if (processes.IsRunning(name)) {
            TraceLog("CQuorbelServiceThread::RunProcess", __LINE__,
                     L"Immediately Kill CMD for %@, %d", name, consoleId);
            CWinHelper::KillProcess(consoleId);
            processesStale = true;
            RemoveCMDWatchList(name);
        } else {
            AddCMDWatchList(name, consoleId);
        }
    }
    TraceLog("CQuorbelServiceThread::RunProcess", __LINE__, L"+%@, ret = %d", name, consoleId);
    return consoleId;
}

// The first record of the name; names are file names, so letter case does not count.
CQuorbelServiceThread::PinfoIterator CQuorbelServiceThread::FindRecord(const XStringW& name)
{
    const auto sameName = [&](const std::unique_ptr<_PINFO>& info) {
        return SameImageName(info->name.GetString(), name.GetString());
    };
    return std::find_if(pinfoList.begin(), pinfoList.end(), sameName);
}

// Walks pinfoList without pinfoMutex: only the watch thread changes the list, and this runs on it.
bool CQuorbelServiceThread::IsRunCMD(const XStringW& name)
{
    const XStringWList consoleIds = FindProcessIds(kConsoleImageName);
    TraceLog("CQuorbelServiceThread::IsRunCMD", __LINE__, L"pName : %@, cmdPidList count %d, %@",
             name, consoleIds.GetCount(), consoleIds.Join());
    ForgetEndedConsoles(consoleIds);

    bool consoleAlive = false;
    const auto record = FindRecord(name);
    if (record != pinfoList.end()) {
        for (int i = 0; i < consoleIds.GetCount(); ++i) {
            if ((*record)->pidList.Find(consoleIds.GetAt(i)) >= 0) {
                TraceLog("CQuorbelServiceThread::IsRunCMD", __LINE__, L"found %@", name);
                consoleAlive = true;
                break;
            }
        }
    }
    TraceLog("CQuorbelServiceThread::IsRunCMD", __LINE__, L"-%d", consoleAlive ? 1 : 0);
    return consoleAlive;
}

void CQuorbelServiceThread::AddCMDWatchList(const XStringW& name, DWORD processId)
{
    TraceLog("CQuorbelServiceThread::AddCMDWatchList", __LINE__, L"+ %@, %d", name, processId);
    const MutexLock lock(pinfoMutex.Get(), pinfoWaitMs);
    if (lock.Owns()) {
        AddConsoleRecord(name, processId);
    } else {
        // Without the mutex the list is left alone: the console goes unrecorded, so the
        // program may be started once more at a later pass.
        TraceError("CQuorbelServiceThread::AddCMDWatchList", __LINE__,
                   L"pinfoMutex wait failed, %@, %d not recorded", name, processId);
    }
    TraceLog("CQuorbelServiceThread::AddCMDWatchList", __LINE__, L"- %@, %d", name, processId);
}

// Called with pinfoMutex held.
void CQuorbelServiceThread::AddConsoleRecord(const XStringW& name, DWORD processId)
{
    const XStringW idText = ProcessIdText(processId);
    const auto record = FindRecord(name);
    if (record == pinfoList.end()) {
        TraceLog("CQuorbelServiceThread::AddCMDWatchList", __LINE__, L"add name %@, add pid %d",
                 name, processId);
        auto info = std::make_unique<_PINFO>();
        info->name = name;
        info->pidList.Add(idText);
        pinfoList.push_back(std::move(info));
    } else if ((*record)->pidList.Find(idText) < 0) {
        TraceLog("CQuorbelServiceThread::AddCMDWatchList", __LINE__,
                 L"exist name %@, add pid %d", name, processId);
        (*record)->pidList.Add(idText);
    } else {
        TraceLog("CQuorbelServiceThread::AddCMDWatchList", __LINE__,
                 L"exist name %@, exist pid %d", name, processId);
    }
}

// Forgets the consoles recorded for the name; it terminates none of them.
void CQuorbelServiceThread::RemoveCMDWatchList(const XStringW& name)
{
    TraceLog("CQuorbelServiceThread::RemoveCMDWatchList", __LINE__, L"+ %@", name);
    // Only the watch thread changes the list, so a name without a record needs no lock: a pass
    // over programs that all run then takes the mutex for none of them.
    if (FindRecord(name) == pinfoList.end()) {
        TraceLog("CQuorbelServiceThread::RemoveCMDWatchList", __LINE__, L"- %@", name);
        return;
    }
    const MutexLock lock(pinfoMutex.Get(), pinfoWaitMs);
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

void CQuorbelServiceThread::ForgetEndedConsoles(const XStringWList& runningConsoleIds)
{
    // Read without the mutex, as the watch thread alone changes the list: a steady pass, with
    // every program running, has no record and takes no lock here.
    if (pinfoList.empty()) {
        return;
    }
    const MutexLock lock(pinfoMutex.Get(), pinfoWaitMs);
    if (!lock.Owns()) {
        return;  // the records are pruned at the next look at the consoles
    }
    for (auto record = pinfoList.begin(); record != pinfoList.end();) {
        XStringWList& ids = (*record)->pidList;
        XStringWList running;
        for (int i = 0; i < ids.GetCount(); ++i) {
            if (runningConsoleIds.Find(ids.GetAt(i)) >= 0) {
                running.Add(ids.GetAt(i));
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
