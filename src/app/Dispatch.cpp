#include "app/Dispatch.h"

#include "app/ConsoleOutput.h"
#include "app/Version.h"
#include "common/ScopedHandle.h"
#include "config/CQuorbelServiceHelper.h"
#include "paths/ModulePaths.h"
#include "process/CWinHelper.h"
#include "service/CWindowService.h"
#include "strings/ErrorText.h"
#include "trace/EventLog.h"
#include "trace/Trace.h"
#include "watch/CQuorbelServiceThread.h"

namespace {

constexpr const wchar_t* kServiceName = L"QuorbelService";
constexpr const wchar_t* kServiceDisplayName = L"Quorbel Service Monitor";
constexpr const wchar_t* kDescription =
    L"Keeps the programs on the logged-on user's watch list running in that user's session.";

// First words that select the service forms; a word counts when the argument ends with it.
constexpr const wchar_t* kServiceWords[] = {L"svc", L"service"};
// Lone arguments that ask for the usage text; they must match exactly.
constexpr const wchar_t* kHelpWords[] = {L"help", L"/?", L"-h", L"--help"};

constexpr const wchar_t* kUsage =
    L"Quorbel Service Monitor: keeps the programs on your watch list running.\r\n"
    L"Usage (as an administrator):\r\n"
    L"  QuorbelService.exe svc install       register the service\r\n"
    L"  QuorbelService.exe svc start         make paused entries active, start the service\r\n"
    L"  QuorbelService.exe svc stop          stop the service and QuorbelServiceManager.exe\r\n"
    L"  QuorbelService.exe svc pause         stop the service only\r\n"
    L"  QuorbelService.exe svc uninstall     remove the service\r\n"
    L"  QuorbelService.exe svc status        the service's state and command line\r\n"
    L"  QuorbelService.exe add <path> [arguments...]\r\n"
    L"                                       watch the program (entry named after its file)\r\n"
    L"  QuorbelService.exe pause <entry>     leave the program alone for now\r\n"
    L"  QuorbelService.exe restart <entry>   watch it again\r\n"
    L"  QuorbelService.exe remove <entry>    take it off the watch list\r\n"
    L"  QuorbelService.exe list              the watch list and the interval\r\n"
    L"  QuorbelService.exe version           QuorbelService " QUORBEL_VERSION_TEXT_W L"\r\n"
    L"  QuorbelService.exe                   make every paused entry active\r\n"
    L"Exit codes: 0 done, 2 usage, 3 invalid entry name, 4 no such entry, 5 failed,\r\n"
    L"6 another instance runs in this session.";

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

XStringW Trimmed(const XStringW& argument)
{
    XStringW text = argument;
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

bool IsHelpWord(const XStringW& argument)
{
    for (const wchar_t* word : kHelpWords) {
        if (argument.Compare(word) == 0) {
            return true;
        }
    }
    return false;
}

void Say(const wchar_t* text) { WriteOutputLine(XStringW(text)); }

template <typename... Args>
void Say(const wchar_t* format, const Args&... args)
{
    XStringW text;
    text.Format(format, args...);
    WriteOutputLine(text);
}

int UsageError()
{
    Say(kUsage);
    return kExitUsage;
}

int ServiceFailure(const wchar_t* action, DWORD error)
{
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        Say(L"%s is not installed", kServiceName);
    } else {
        Say(L"could not %s %s (%@)", action, kServiceName, SystemErrorText(error));
    }
    return kExitFailed;
}

// The binary path the service control manager starts: the quoted executable and the word service.
XStringW ServiceCommandLine()
{
    const XStringW executable = GetModulePath(true);
    XStringW commandLine;
    commandLine.Format(L"\"%@\" service", executable);
    return commandLine;
}

const wchar_t* StepName(InstallStep step)
{
    switch (step) {
    case InstallStep::kFailureActions:
        return L"setting its restart-on-failure settings";
    case InstallStep::kDescription:
        return L"setting its description";
    case InstallStep::kCreate:
        break;
    }
    return L"creating its registration";
}

// A step after the registration failed; the registration was to be removed again.
int HalfInstallFailure(const wchar_t* step, DWORD error, bool removedAgain)
{
    Say(L"could not install %s: %s failed (%@); %s", kServiceName, step, SystemErrorText(error),
        removedAgain ? L"the registration was removed again"
                     : L"the half-made registration could not be removed, use svc uninstall");
    return kExitFailed;
}

int InstallCommand()
{
    DWORD error = 0;
    InstallStep failedStep = InstallStep::kCreate;
    bool removedAgain = false;
    const XStringW commandLine = ServiceCommandLine();
    if (!CWindowService::Install(kServiceDisplayName, kServiceName, commandLine, kDescription,
                                 &error, &failedStep, &removedAgain)) {
        if (error == ERROR_SERVICE_EXISTS) {
            Say(L"%s is installed already; its registration was left as it is", kServiceName);
            return kExitFailed;
        }
        if (failedStep == InstallStep::kCreate) {
            return ServiceFailure(L"install", error);
        }
        return HalfInstallFailure(StepName(failedStep), error, removedAgain);
    }
    if (!event_log::InstallSource(GetModulePath(true), &error)) {
        // Without its source the service would report into the log under no name: the install
        // is undone as a whole.
        return HalfInstallFailure(L"registering its event source", error,
                                  CWindowService::Remove(kServiceName));
    }
    Say(L"%s installed: %@", kServiceName, commandLine);
    return kExitSuccess;
}

int UninstallCommand()
{
    ServiceQuery before;
    const bool running = CWindowService::Query(kServiceName, before) && before.installed &&
                         before.state != SERVICE_STOPPED;
    DWORD error = 0;
    if (!CWindowService::Remove(kServiceName, &error)) {
        return ServiceFailure(L"uninstall", error);
    }
    // The source goes with the registration; a running service's last entries (its stop) then
    // show without their text, which is the lesser harm than a source left behind for good.
    if (!event_log::RemoveSource(&error)) {
        Say(L"%s uninstalled, but its event source could not be removed (%@)", kServiceName,
            SystemErrorText(error));
        return kExitFailed;
    }
    Say(running ? L"%s marked for removal: it is removed once it has stopped (svc stop stops it)"
                : L"%s uninstalled",
        kServiceName);
    return kExitSuccess;
}

int StartCommand()
{
    ServiceQuery before;
    const bool wasInstalled = CWindowService::Query(kServiceName, before) && before.installed;
    DWORD error = 0;
    if (CWindowService::Start(kServiceName, kServiceDisplayName, ServiceCommandLine(), &error)) {
        Say(wasInstalled ? L"%s started" : L"%s installed and started", kServiceName);
        return kExitSuccess;
    }
    if (error == ERROR_SERVICE_ALREADY_RUNNING) {
        ServiceQuery now;
        if (CWindowService::Query(kServiceName, now) &&
            (now.state == SERVICE_RUNNING || now.state == SERVICE_START_PENDING)) {
            Say(L"%s runs already", kServiceName);
            return kExitSuccess;
        }
        Say(L"%s is not stopped yet (state %u); try again once it has stopped", kServiceName,
            now.state);
        return kExitFailed;
    }
    return ServiceFailure(L"start", error);
}

// Stops the service; the companion manager is ended too unless it is to be left running.
int StopCommand(bool endCompanion)
{
    DWORD error = 0;
    const bool stopped = CWindowService::Stop(kServiceName, &error);
    KillResult companion;
    if (endCompanion) {
        companion = CWinHelper::KillProcess(XStringW(kCompanionImageName));
    }
    XStringW text;
    int exitCode = kExitSuccess;
    if (stopped) {
        text.Format(L"%s stopped", kServiceName);
    } else if (error == ERROR_SERVICE_NOT_ACTIVE) {
        text.Format(L"%s was not running", kServiceName);
    } else if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        text.Format(L"%s is not installed", kServiceName);
        exitCode = kExitFailed;
    } else if (error == ERROR_SERVICE_REQUEST_TIMEOUT) {
        text.Format(L"%s did not stop within %u seconds", kServiceName,
                    CWindowService::kStopTimeoutMs / 1000);
        exitCode = kExitFailed;
    } else {
        text.Format(L"could not stop %s (%@)", kServiceName, SystemErrorText(error));
        exitCode = kExitFailed;
    }
    if (!endCompanion) {
        text.AppendFormat(L"; %s left running", kCompanionImageName);
    } else if (companion.Refused() > 0) {
        // A companion that was found but not ended is no success.
        text.AppendFormat(L"; %s could not be ended (%@)", kCompanionImageName,
                          SystemErrorText(companion.error));
        exitCode = kExitFailed;
    } else if (companion.terminated > 0) {
        text.AppendFormat(L"; %s ended", kCompanionImageName);
    } else {
        text.AppendFormat(L"; no %s was running", kCompanionImageName);
    }
    WriteOutputLine(text);
    return exitCode;
}

int RunServiceCommand(const XStringW& word)
{
    if (word.Compare(L"uninstall") == 0) {
        TraceLog("main", __LINE__, L"uninstall service");
        return UninstallCommand();
    }
    if (word.Compare(L"install") == 0) {
        TraceLog("main", __LINE__, L"install service");
        return InstallCommand();
    }
    if (word.Compare(L"start") == 0) {
        TraceLog("main", __LINE__, L"start service");
        RestartAllOnce();
        return StartCommand();
    }
    if (word.Compare(L"stop") == 0) {
        TraceLog("main", __LINE__, L"stop service");
        return StopCommand(true);
    }
    if (word.Compare(L"pause") == 0) {
        // Stops the service but leaves the companion manager running.
        TraceLog("main", __LINE__, L"stop service by ServiceManager");
        return StopCommand(false);
    }
    if (word.Compare(L"status") == 0) {
        return PrintServiceStatus(kServiceName);
    }
    return UsageError();
}

// The answer to an edit of the entry; done says what a successful edit did.
int ReportEdit(WatchListResult result, const XStringW& entryName, const XStringW& done,
               const wchar_t* alreadySo, const WatchListEdit& edit)
{
    switch (result) {
    case WatchListResult::kDone:
        WriteOutputLine(done);
        return kExitSuccess;
    case WatchListResult::kAlreadySo:
        Say(L"%@ was %s already", entryName, alreadySo);
        return kExitSuccess;
    case WatchListResult::kInvalidName:
        Say(L"invalid entry name \"%@\": an entry name is a file name of 1 to %d characters "
            L"without a backslash",
            entryName, CQuorbelServiceHelper::kMaxEntryNameChars);
        return kExitInvalidName;
    case WatchListResult::kNoSuchEntry:
        Say(L"no entry named %@", entryName);
        return kExitNoSuchEntry;
    case WatchListResult::kStatusUnreadable:
        Say(L"%@ was left as it is: its Status \"%@\" is neither 1 nor 0", entryName,
            CQuorbelServiceHelper::GetUserListStatus(entryName));
        return kExitFailed;
    case WatchListResult::kFailed:
        break;
    }
    Say(L"could not change the entry %@ in the registry (%@)", entryName,
        SystemErrorText(static_cast<DWORD>(edit.error)));
    return kExitFailed;
}

int RunWatchListCommand(const XStringW& command, const XStringW& operand)
{
    XStringW done;
    WatchListEdit edit;
    if (EndsWith(command, L"add")) {
        return RunAddCommand(operand, std::vector<XStringW>());
    }
    if (EndsWith(command, L"remove")) {
        TraceLog("main", __LINE__, L"remove service : %@", operand);
        done.Format(L"%@ removed", operand);
        return ReportEdit(CQuorbelServiceHelper::RemoveList(operand, &edit), operand, done, L"",
                          edit);
    }
    if (EndsWith(command, L"pause")) {
        TraceLog("main", __LINE__, L"pause service : %@", operand);
        done.Format(L"%@ paused", operand);
        return ReportEdit(CQuorbelServiceHelper::PauseList(operand, &edit), operand, done,
                          L"paused", edit);
    }
    if (EndsWith(command, L"restart")) {
        TraceLog("main", __LINE__, L"restart service : %@", operand);
        done.Format(L"%@ active", operand);
        return ReportEdit(CQuorbelServiceHelper::RestartList(operand, &edit), operand, done,
                          L"active", edit);
    }
    return UsageError();
}

// The two-word forms: the service forms first, so "svc pause" stops the service while
// "pause <entry>" pauses a watch-list entry.
int RunTwoWordCommand(const XStringW& first, const XStringW& second)
{
    const XStringW command = Trimmed(first);
    const XStringW operand = Trimmed(second);
    if (IsServiceWord(command)) {
        return RunServiceCommand(operand);
    }
    return RunWatchListCommand(command, operand);
}

// The lone argument is deliberately not trimmed.
int RunOneWordCommand(const XStringW& word)
{
    if (IsServiceWord(word)) {
        TraceLog("main", __LINE__, L"arg count = 2");
        RunService();
        return kExitSuccess;
    }
    if (EndsWith(word, L"list")) {
        return PrintWatchList();
    }
    if (IsHelpWord(word)) {
        Say(kUsage);
        return kExitSuccess;
    }
    if (word.Compare(L"version") == 0 || word.Compare(L"--version") == 0) {
        Say(L"%s %s", kServiceName, QUORBEL_VERSION_TEXT_W);
        return kExitSuccess;
    }
    return UsageError();
}

}  // namespace

bool IsSilentForm(const std::vector<XStringW>& arguments)
{
    return arguments.size() <= 1 || (arguments.size() == 2 && IsServiceWord(arguments[1]));
}

int DispatchCommand(const std::vector<XStringW>& arguments)
{
    const size_t count = arguments.size();
    if (count <= 1) {
        if (count == 1) {
            TraceLog("main", __LINE__, L"arg count = 1");
        }
        RestartAllOnce();
        RunService();
        return kExitSuccess;
    }
    if (count == 2) {
        return RunOneWordCommand(arguments[1]);
    }
    if (count == 3) {
        return RunTwoWordCommand(arguments[1], arguments[2]);
    }
    // Only add takes more: every word after the path is an argument of the program, as typed.
    if (EndsWith(Trimmed(arguments[1]), L"add")) {
        return RunAddCommand(Trimmed(arguments[2]),
                             std::vector<XStringW>(arguments.begin() + 3, arguments.end()));
    }
    return UsageError();
}

WatchListResult AddService(const XStringW& path, const XStringW& entryName,
                           const XStringW& arguments, WatchListEdit* edit)
{
    TraceLog("AddService", __LINE__, L"RunProcessAfterLogon %@", path);
    return CQuorbelServiceHelper::AddList(entryName, path, arguments, edit);
}
