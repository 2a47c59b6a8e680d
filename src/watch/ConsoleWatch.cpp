// The console watch list: for every program name, the consoles (cmd.exe processes) started for
// it. A program is not started again while one of its consoles still runs; a console whose
// program already runs one second after the start is terminated at once.

#include <windows.h>

#include <algorithm>

#include "trace/Trace.h"
#include "watch/CQuorbelServiceThread.h"
#include "process/CWinHelper.h"

namespace {
constexpr const wchar_t* kConsoleImageName = L"cmd.exe";
// Long enough for cmd.exe to have started a program that comes up at once.
constexpr DWORD kProgramStartWaitMs = 1000;

XStringW ProcessIdText(DWORD processId)
{
    XStringW text;
    text.Format(L"%d", processId);
    return text;
}
}  // namespace

DWORD CQuorbelServiceThread::RunProcess(const XStringW& name, const XStringW& path)
{
    TraceLog("CQuorbelServiceThread::RunProcess", __LINE__, L"+%@", name);
    DWORD consoleId = 0;
    if (!IsRunCMD(name)) {
        consoleId = launcher(path);
        Sleep(kProgramStartWaitMs);
        if (IsProcessRunning(name)) {
            TraceLog("CQuorbelServiceThread::RunProcess", __LINE__,
                     L"Immediately Kill CMD for %@, %d", name, consoleId);
            CWinHelper::KillProcess(consoleId);
            RemoveCMDWatchList(name);
        } else {
            AddCMDWatchList(name, consoleId);
        }
    }
    TraceLog("CQuorbelServiceThread::RunProcess", __LINE__, L"+%@, ret = %d", name, consoleId);
    return consoleId;
}

// The first record whose name equals the given one exactly (letter case counts).
CQuorbelServiceThread::PinfoIterator CQuorbelServiceThread::FindRecord(const XStringW& name)
{
    const auto sameName = [&](const std::unique_ptr<_PINFO>& info) {
        return info->name == name.GetString();
    };
    return std::find_if(pinfoList.begin(), pinfoList.end(), sameName);
}

// Walks pinfoList without pinfoMutex: only the watch thread changes the list, and this runs on it.
bool CQuorbelServiceThread::IsRunCMD(const XStringW& name)
{
    const XStringWList consoleIds = FindProcessIds(kConsoleImageName);
    TraceLog("CQuorbelServiceThread::IsRunCMD", __LINE__, L"pName : %@, cmdPidList count %d, %@",
             name, consoleIds.GetCount(), consoleIds.Join());

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
