// relaunch <entry>: the user closes the program as they would by hand, and the service starts it
// again at once with its current settings. The tool runs in the user's session, so it asks the
// program's windows to close first and ends only what is still there after kCloseWaitMs.

#include <vector>

#include "app/Commands.h"
#include "app/ConsoleOutput.h"
#include "app/Dispatch.h"
#include "app/WindowClose.h"
#include "common/ScopedHandle.h"
#include "config/CQuorbelServiceHelper.h"
#include "config/CRegHelper.h"
#include "config/RelaunchRequest.h"
#include "process/ProcessTable.h"
#include "service/CWindowService.h"
#include "strings/ErrorText.h"
#include "trace/Trace.h"

namespace {

constexpr DWORD kCloseWaitMs = 5000;
// The service sees the end through its wait on the program and starts it in its next pass.
constexpr DWORD kComeBackWaitMs = 15000;
constexpr DWORD kPollMs = 100;
// The exit code of a process that did not close when asked, as Task Manager ends one.
constexpr UINT kEndedExitCode = 1;

// A process of the program, held open from before it is asked to close.
struct Running {
    DWORD id = 0;
    ULONGLONG createdAt = 0;
    ScopedHandle handle;
};

std::vector<Running> OpenProcesses(const ProcessTable& table, const XStringW& name, DWORD* error)
{
    std::vector<Running> running;
    const XStringWList ids = table.FindIds(name);
    for (int i = 0; i < ids.GetCount(); ++i) {
        Running process;
        process.id = static_cast<DWORD>(ids.GetAt(i).ToUInt());
        process.createdAt = table.CreationTime(process.id);
        process.handle.Reset(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, process.id));
        if (process.handle.Get() == nullptr) {
            *error = ::GetLastError();
            if (*error == ERROR_INVALID_PARAMETER) {
                continue;  // it ended meanwhile
            }
            return {};
        }
        running.push_back(std::move(process));
    }
    *error = ERROR_SUCCESS;
    return running;
}

// Whether every process ended within waitMs (one by one: there may be more than one wait takes).
bool AllEnded(const std::vector<Running>& running, DWORD waitMs)
{
    const ULONGLONG deadline = ::GetTickCount64() + waitMs;
    for (const Running& process : running) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (::WaitForSingleObject(process.handle.Get(), left) != WAIT_OBJECT_0) {
            return false;
        }
    }
    return true;
}

// Ends what did not close; false (with the error) when one of them could not be ended.
bool EndTheRest(const XStringW& name, const std::vector<Running>& running, bool asked,
                DWORD* error)
{
    for (const Running& process : running) {
        if (::WaitForSingleObject(process.handle.Get(), 0) == WAIT_OBJECT_0) {
            continue;
        }
        if (!::TerminateProcess(process.handle.Get(), kEndedExitCode) &&
            ::WaitForSingleObject(process.handle.Get(), 0) != WAIT_OBJECT_0) {
            *error = ::GetLastError();
            return false;
        }
        if (asked) {
            Say(L"%@ did not close within %u s: ended (process %u)", name, kCloseWaitMs / 1000,
                process.id);
        } else {
            Say(L"%@ has no window to close: ended (process %u)", name, process.id);
        }
    }
    if (!AllEnded(running, kCloseWaitMs)) {
        *error = WAIT_TIMEOUT;  // ended, but still not gone
        return false;
    }
    return true;
}

// The id of a process of the name that is none of those closed; 0 when none came up in time.
DWORD AwaitNewProcess(const XStringW& name, const std::vector<Running>& closed)
{
    const ULONGLONG deadline = ::GetTickCount64() + kComeBackWaitMs;
    do {
        const ProcessTable table = ProcessTable::TakeForOwnSession();
        const XStringWList ids = table.FindIds(name);
        for (int i = 0; i < ids.GetCount(); ++i) {
            const DWORD id = static_cast<DWORD>(ids.GetAt(i).ToUInt());
            bool old = false;
            for (const Running& process : closed) {
                old = old || (process.id == id && process.createdAt == table.CreationTime(id));
            }
            if (!old) {
                return id;
            }
        }
        ::Sleep(kPollMs);
    } while (::GetTickCount64() < deadline);
    return 0;
}

// Why the entry cannot be relaunched, answered; 0 when it can.
int RefuseRelaunch(const XStringW& name)
{
    if (!CanCloseWindows()) {
        SayError(L"relaunch closes the program's windows, which only the console tool does: run "
                 L"QuorbelService.com relaunch %@",
                 name);
        return kExitUsage;
    }
    if (const int refused = RefuseIfSetByPolicy(L"relaunch", name)) {
        return refused;
    }
    if (!CQuorbelServiceHelper::IsValidEntryName(name)) {
        return SayInvalidEntryName(name);
    }
    if (!CRegHelper::KeyExists(HKEY_CURRENT_USER, CQuorbelServiceHelper::EntryKeyPath(name))) {
        return SayNoSuchEntry(name);
    }
    // Paused as the service reads it: only a Status that reads as 0 pauses an entry.
    if (CQuorbelServiceHelper::GetUserListStatus(name).ToInt() == 0) {
        SayError(L"%@ is paused, so the service would not start it again: relaunch refused, "
                 L"nothing was closed (restart makes it active)",
                 name);
        return kExitInvalidName;
    }
    ServiceQuery query;
    if (!CWindowService::Query(kServiceName, query) || query.state != SERVICE_RUNNING) {
        SayError(L"%s does not run, so nothing would start %@ again: relaunch refused, nothing was "
                 L"closed",
                 kServiceName, name);
        return kExitFailed;
    }
    return kExitSuccess;
}

}  // namespace

void RelaunchUsage(XStringW& text)
{
    text += L"Asks each visible window of the program in this session to close, waits up to 5 s, "
            L"ends\r\nwhat still runs and waits until the service has started it again, with the "
            L"entry's\r\ncurrent arguments and directory. Not counted as a quick exit, once "
            L"a minute at\r\nmost. Only QuorbelService.com relaunches; restart only makes a "
            L"paused entry\r\nactive.\r\n";
}

int RunRelaunchCommand(const Operands& operands)
{
    if (const int usage = ExpectOneOperand(L"relaunch", L"the entry name", operands)) {
        return usage;
    }
    const XStringW& name = operands.front();
    TraceLog("main", __LINE__, L"relaunch service : %@", name);
    if (const int refused = RefuseRelaunch(name)) {
        return refused;
    }
    DWORD error = ERROR_SUCCESS;
    const std::vector<Running> running =
        OpenProcesses(ProcessTable::TakeForOwnSession(), name, &error);
    if (error != ERROR_SUCCESS) {
        SayError(L"%@ cannot be closed (%@): nothing was closed", name, SystemErrorText(error));
        return kExitFailed;
    }
    if (running.empty()) {
        Say(L"%@ does not run in this session: nothing to close, the service starts it", name);
        return kExitSuccess;
    }
    const LONG noted = relaunch_request::Write(name);
    if (noted != ERROR_SUCCESS) {
        SayError(L"could not change the entry %@ in the registry (%@): nothing was closed", name,
                 SystemErrorText(static_cast<DWORD>(noted)));
        return kExitFailed;
    }
    std::vector<DWORD> ids;
    for (const Running& process : running) {
        ids.push_back(process.id);
    }
    const bool asked = PostCloseToWindows(ids) > 0;
    if (!asked || !AllEnded(running, kCloseWaitMs)) {
        if (!EndTheRest(name, running, asked, &error)) {
            relaunch_request::Withdraw(name);
            SayError(L"%@ could not be ended (%@): it was not relaunched", name,
                     SystemErrorText(error));
            return kExitFailed;
        }
    } else {
        Say(L"%@ closed", name);
    }
    const DWORD newId = AwaitNewProcess(name, running);
    if (newId == 0) {
        SayError(L"%@ was closed but has not started again within %u s (see list)", name,
                 kComeBackWaitMs / 1000);
        return kExitFailed;
    }
    Say(L"%@ runs again, process %u", name, newId);
    return kExitSuccess;
}
