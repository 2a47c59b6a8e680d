#include "app/Dispatch.h"

#include "config/CQuorbelServiceHelper.h"
#include "service/CWindowService.h"
#include "strings/XStringA.h"
#include "trace/Trace.h"
#include "process/CWinHelper.h"
#include "paths/ModulePaths.h"

namespace {

constexpr const wchar_t* kServiceName = L"QuorbelService";
constexpr const wchar_t* kServiceDisplayName = L"Quorbel Service Monitor";
constexpr const wchar_t* kManagerImageName = L"QuorbelServiceManager.exe";

// First words that select the service forms; a word counts when the argument ends with it.
constexpr const wchar_t* kServiceWords[] = {L"svc", L"service"};

// Set before the restart-all runs, so that it runs at most once per process.
bool restartAllDone = false;

void RestartAllOnce()
{
    if (restartAllDone) {
        return;
    }
    restartAllDone = true;
    CQuorbelServiceHelper::RestartAllList();
}

XStringW WideArgument(const char* argument)
{
    return XStringA(argument).ToStringW();
}

XStringW TrimmedArgument(const char* argument)
{
    XStringW text = WideArgument(argument);
    text.TrimRight();
    text.TrimLeft();
    return text;
}

bool EndsWith(const XStringW& argument, const wchar_t* word)
{
    return XStringW(word).IsSuffixOf(argument);
}

bool IsServiceWord(const XStringW& argument)
{
    for (const wchar_t* word : kServiceWords) {
        if (EndsWith(argument, word)) {
            return true;
        }
    }
    return false;
}

// The binary path the service control manager starts: the quoted executable and the word service.
XStringW ServiceCommandLine()
{
    const XStringW executable = GetModulePath(true);
    XStringW commandLine;
    commandLine.Format(L"\"%@\" service", executable);
    return commandLine;
}

// The program's file name: the text after the last backslash, or the whole path without one.
XStringW EntryNameOf(const XStringW& path)
{
    const int lastSeparator = path.ReverseFind(L"\\");
    if (lastSeparator < 0) {
        return path;
    }
    return path.Right(path.GetLength() - lastSeparator - 1);
}

void RunServiceCommand(const XStringW& word)
{
    if (word.Compare(L"uninstall") == 0) {
        TraceLog("main", __LINE__, L"uninstall service");
        CWindowService::Remove(kServiceName);
    } else if (word.Compare(L"install") == 0) {
        TraceLog("main", __LINE__, L"install service");
        CWindowService::Install(kServiceDisplayName, kServiceName, ServiceCommandLine());
    } else if (word.Compare(L"start") == 0) {
        TraceLog("main", __LINE__, L"start service");
        RestartAllOnce();
        CWindowService::Start(kServiceName, kServiceDisplayName, ServiceCommandLine());
    } else if (word.Compare(L"stop") == 0) {
        TraceLog("main", __LINE__, L"stop service");
        CWindowService::Stop(kServiceName);
        CWinHelper::KillProcess(XStringW(kManagerImageName));
    } else if (word.Compare(L"pause") == 0) {
        // Stops the service but leaves the companion manager running.
        TraceLog("main", __LINE__, L"stop service by ServiceManager");
        CWindowService::Stop(kServiceName);
    }
}

void RunWatchListCommand(const XStringW& command, const XStringW& operand)
{
    if (EndsWith(command, L"add")) {
        TraceLog("main", __LINE__, L"add service : %@", operand);
        AddService(operand, EntryNameOf(operand));
    } else if (EndsWith(command, L"remove")) {
        TraceLog("main", __LINE__, L"remove service : %@", operand);
        CQuorbelServiceHelper::RemoveList(operand);
    } else if (EndsWith(command, L"pause")) {
        TraceLog("main", __LINE__, L"pause service : %@", operand);
        CQuorbelServiceHelper::PauseList(operand);
    } else if (EndsWith(command, L"restart")) {
        TraceLog("main", __LINE__, L"restart service : %@", operand);
        CQuorbelServiceHelper::RestartList(operand);
    }
}

// The two-word forms: the service forms first, so "svc pause" stops the service while
// "pause <entry>" pauses a watch-list entry.
void RunTwoWordCommand(const char* first, const char* second)
{
    const XStringW command = TrimmedArgument(first);
    const XStringW operand = TrimmedArgument(second);
    if (IsServiceWord(command)) {
        RunServiceCommand(operand);
    } else {
        RunWatchListCommand(command, operand);
    }
}

}  // namespace

void DispatchCommand(int argc, char** argv)
{
    if (argc <= 1) {
        if (argc == 1) {
            TraceLog("main", __LINE__, L"arg count = 1");
        }
        RestartAllOnce();
        RunService();
    } else if (argc == 2) {
        // The lone argument is deliberately not trimmed.
        if (IsServiceWord(WideArgument(argv[1]))) {
            TraceLog("main", __LINE__, L"arg count = 2");
            RunService();
        }
    } else if (argc == 3) {
        RunTwoWordCommand(argv[1], argv[2]);
    }
}

void AddService(const XStringW& path, const XStringW& entryName)
{
    TraceLog("AddService", __LINE__, L"RunProcessAfterLogon %@", path);
    CQuorbelServiceHelper::AddList(entryName, path);
}
