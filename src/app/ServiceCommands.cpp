// The svc words: the service's registration with the service control manager, its start and stop.

#include "app/Commands.h"
#include "app/ConsoleOutput.h"
#include "app/Dispatch.h"
#include "config/EntryStateStore.h"
#include "paths/ModulePaths.h"
#include "process/CWinHelper.h"
#include "service/CWindowService.h"
#include "service/FolderSecurity.h"
#include "strings/ErrorText.h"
#include "trace/EventLog.h"
#include "trace/Trace.h"
#include "watch/CQuorbelServiceThread.h"

namespace {

constexpr const wchar_t* kServiceDisplayName = L"Quorbel Service Monitor";
constexpr const wchar_t* kDescription =
    L"Keeps the programs on the logged-on user's watch list running in that user's session.";

// The svc word being run ("svc install"), as the event of its failure names it.
const wchar_t* runningWord = L"svc";

// The answer of a svc word that failed, on standard error, and an error event with it: an
// installer runs these words where nobody reads their answers, and an administrator finds the
// event in the Application log.
template <typename... Args>
void SayFailure(const wchar_t* format, const Args&... args)
{
    XStringW text;
    text.Format(format, args...);
    TraceError("SayFailure", __LINE__, L"%s failed: %@", runningWord, text);
    WriteErrorLine(text);
    ReportCommandFailed(XStringW(runningWord), text);
}

int ServiceFailure(const wchar_t* action, DWORD error)
{
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        SayFailure(L"%s is not installed", kServiceName);
    } else {
        SayFailure(L"could not %s %s (%@)", action, kServiceName, SystemErrorText(error));
    }
    return kExitFailed;
}

// The service is always the GUI executable, also when the console twin beside it registers it:
// the twin's only file name difference is its extension.
XStringW ServiceExecutablePath()
{
    return WithExtension(GetModulePath(true), L".exe");
}

// The binary path the service control manager starts: the quoted executable and the word service.
XStringW ServiceCommandLine()
{
    const XStringW executable = ServiceExecutablePath();
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
    SayFailure(L"could not install %s: %s failed (%@); %s", kServiceName, step,
               SystemErrorText(error),
               removedAgain ? L"the registration was removed again"
               : L"the half-made registration could not be removed, use svc uninstall");
    return kExitFailed;
}

// The install's warning when users can write where the executable lies: whoever can put a file
// there runs code as LocalSystem.
void WarnAboutFolder()
{
    const XStringW folder = GetModuleDirectory();
    bool writable = false;
    DWORD error = 0;
    if (!folder_security::IsWritableByUsers(folder, writable, &error) || !writable) {
        return;
    }
    TraceError("main", __LINE__, L"%@ can be written by every user", folder);
    SayError(L"warning: %@ can be written by Users or Authenticated Users, who could replace what "
             L"runs as LocalSystem (svc lockdown closes it to them)",
             folder);
}

// A registration names the executable beside this one; without it there, the service manager
// could never start the service. 0 when it is there, else the refusal's exit code.
int RefuseMissingExecutable(const wchar_t* action)
{
    const XStringW executable = ServiceExecutablePath();
    const DWORD attributes = ::GetFileAttributesW(executable.GetString());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return kExitSuccess;
    }
    TraceError("main", __LINE__, L"%@ is not there (GetLastError:%d)", executable,
               ::GetLastError());
    SayFailure(L"could not %s %s: its executable %@ is not there; nothing was registered", action,
               kServiceName, executable);
    return kExitFailed;
}

int InstallCommand()
{
    if (const int refused = RefuseMissingExecutable(L"install")) {
        return refused;
    }
    DWORD error = 0;
    InstallStep failedStep = InstallStep::kCreate;
    bool removedAgain = false;
    const XStringW commandLine = ServiceCommandLine();
    if (!CWindowService::Install(kServiceDisplayName, kServiceName, commandLine, kDescription,
                                 &error, &failedStep, &removedAgain)) {
        if (error == ERROR_SERVICE_EXISTS) {
            SayFailure(L"%s is installed already; its registration was left as it is",
                       kServiceName);
            return kExitFailed;
        }
        if (failedStep == InstallStep::kCreate) {
            return ServiceFailure(L"install", error);
        }
        return HalfInstallFailure(StepName(failedStep), error, removedAgain);
    }
    if (!event_log::InstallSource(ServiceExecutablePath(), &error)) {
        // Without its source the service would report into the log under no name: the install
        // is undone as a whole.
        return HalfInstallFailure(L"registering its event source", error,
                                  CWindowService::Remove(kServiceName));
    }
    WarnAboutFolder();
    Say(L"%s installed: %@", kServiceName, commandLine);
    return kExitSuccess;
}

int LockdownCommand()
{
    const XStringW folder = GetModuleDirectory();
    DWORD error = 0;
    if (!folder_security::Lock(folder, &error)) {
        SayFailure(L"could not set the permissions of %@ (%@)", folder, SystemErrorText(error));
        return kExitFailed;
    }
    Say(L"%@: SYSTEM and Administrators full control, Users read and execute, nothing "
        L"inherited from its parent",
        folder);
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
        SayFailure(L"%s uninstalled, but its event source could not be removed (%@)", kServiceName,
                   SystemErrorText(error));
        return kExitFailed;
    }
    // A stopped service publishes nothing more: its machine key goes, once nothing else is there.
    if (!running) {
        EntryStateStore::RemoveStore();
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
    if (!wasInstalled) {
        if (const int refused = RefuseMissingExecutable(L"start")) {
            return refused;
        }
    }
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
        SayFailure(L"%s is not stopped yet (state %u); try again once it has stopped", kServiceName,
                   now.state);
        return kExitFailed;
    }
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        return ServiceFailure(L"start", error);
    }
    // The manager could not run what the registration names, or would not run the service.
    ServiceQuery now;
    const XStringW registered = CWindowService::Query(kServiceName, now) && now.installed
                                    ? now.binaryPath
                                    : ServiceCommandLine();
    SayFailure(L"could not start the service %s, registered as %@ (%@)", kServiceName, registered,
               SystemErrorText(error));
    return kExitFailed;
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
    if (exitCode == kExitSuccess) {
        WriteOutputLine(text);
    } else {
        SayFailure(L"%@", text);
    }
    return exitCode;
}

int RunInstall(const Operands&)
{
    TraceLog("main", __LINE__, L"install service");
    return InstallCommand();
}

int RunUninstall(const Operands&)
{
    TraceLog("main", __LINE__, L"uninstall service");
    return UninstallCommand();
}

int RunLockdown(const Operands&)
{
    TraceLog("main", __LINE__, L"lock the service's folder");
    return LockdownCommand();
}

int RunStart(const Operands&)
{
    TraceLog("main", __LINE__, L"start service");
    RestartAllOnce();
    return StartCommand();
}

int RunStop(const Operands&)
{
    TraceLog("main", __LINE__, L"stop service");
    return StopCommand(true);
}

// Stops the service but leaves the companion manager running.
int RunServicePause(const Operands&)
{
    TraceLog("main", __LINE__, L"stop service by ServiceManager");
    return StopCommand(false);
}

const CommandWord kWords[] = {
    {L"install", WordMatch::kExact, RunInstall, L"svc install", L"register the service", nullptr,
     nullptr},
    {L"start", WordMatch::kExact, RunStart, L"svc start",
     L"make paused entries active, start the service", nullptr, nullptr},
    {L"stop", WordMatch::kExact, RunStop, L"svc stop",
     L"stop the service and QuorbelServiceManager.exe", nullptr, nullptr},
    {L"pause", WordMatch::kExact, RunServicePause, L"svc pause", L"stop the service only",
     nullptr, nullptr},
    {L"uninstall", WordMatch::kExact, RunUninstall, L"svc uninstall", L"remove the service",
     nullptr, nullptr},
    {L"status", WordMatch::kExact, RunServiceStatus, L"svc status",
     L"the service's state and command line", nullptr, nullptr},
    {L"lockdown", WordMatch::kExact, RunLockdown, L"svc lockdown",
     L"let only administrators write in its folder", nullptr, nullptr},
};

// Whether this process holds the full rights of an administrator: with UAC, a prompt started
// with "Run as administrator". An unanswered query counts as no.
bool IsElevated()
{
    ScopedHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.Receive())) {
        TraceError("main", __LINE__, L"OpenProcessToken failed, error %d", ::GetLastError());
        return false;
    }
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    if (!::GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation),
                               &size)) {
        TraceError("main", __LINE__, L"GetTokenInformation failed, error %d", ::GetLastError());
        return false;
    }
    return elevation.TokenIsElevated != 0;
}

// One svc word with nothing after it, run only with an administrator's full rights; the
// console twin runs as invoked, so a prompt that is not elevated gets this far.
int RunServiceWord(const Operands& operands)
{
    const CommandWord* const word =
        operands.size() == 1 ? FindWord(kServiceWords, operands.front()) : nullptr;
    if (word == nullptr) {
        const CommandWord* const known = FindWord(kServiceWords, operands.front());
        if (known == nullptr) {
            return UsageError(L"svc", operands.front());
        }
        return UsageError(known->synopsis, operands[1]);
    }
    if (!IsElevated()) {
        TraceError("main", __LINE__, L"svc %@ refused: not elevated", operands.front());
        SayError(L"run this from an elevated prompt");
        return kExitFailed;
    }
    runningWord = word->synopsis;
    return word->run(Operands());
}

}  // namespace

const WordTable kServiceWords = {kWords, sizeof(kWords) / sizeof(kWords[0])};

int RunServiceStatus(const Operands&)
{
    return PrintServiceStatus(kServiceName);
}

// A lone "svc" asks for nothing the service manager could answer: it gets the svc words' usage.
int RunSvcCommand(const Operands& operands)
{
    if (operands.empty()) {
        return PrintUsageOf(*FindWord(kCommandWords, XStringW(L"svc")), kExitUsage);
    }
    return RunServiceWord(operands);
}

int RunServiceCommand(const Operands& operands)
{
    if (operands.empty()) {
        TraceLog("main", __LINE__, L"arg count = 2");
        RunService();
        return kExitSuccess;
    }
    return RunServiceWord(operands);
}
