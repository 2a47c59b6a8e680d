#include <windows.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "common/ScopedHandle.h"
#include "service/CWindowService.h"
#include "strings/CommandLineText.h"
#include "strings/PathText.h"
#include "trace/Trace.h"
#include "paths/ModulePaths.h"
#include "service/UserLogon.h"

namespace {
const char* const kLauncherName = "CWindowService::RunAdminProcessByLogonSession";
const wchar_t* const kInteractiveDesktop = L"winsta0\\default";
// Room for a directory with its variables expanded (the longest path the platform takes).
constexpr size_t kExpandedChars = 32768;
constexpr DWORD kCreationFlags = CREATE_UNICODE_ENVIRONMENT | NORMAL_PRIORITY_CLASS;  // 0x420
static_assert(kCreationFlags == 0x420, "unicode environment, normal priority");
// The start-up record's size differs between the builds; cb is set with sizeof.
#ifdef _WIN64
static_assert(sizeof(STARTUPINFOW) == 104, "STARTUPINFOW of the 64-bit platform");
#else
static_assert(sizeof(STARTUPINFOW) == 68, "STARTUPINFOW of the 32-bit platform");
#endif

// CreateProcessAsUserW may write into the command line, so it gets a copy of its own; the copy
// is zeroed before it is released, like every buffer that held text.
class WritableText {
public:
    explicit WritableText(const XStringW& text)
        : buffer(text.GetString(), text.GetString() + text.GetLength())
    {
        buffer.push_back(L'\0');
    }
    ~WritableText() { ::SecureZeroMemory(buffer.data(), buffer.size() * sizeof(wchar_t)); }
    WritableText(const WritableText&) = delete;
    WritableText& operator=(const WritableText&) = delete;

    wchar_t* Get() { return buffer.data(); }

private:
    std::vector<wchar_t> buffer;
};

// The reason travels as the thread's last error, set after every trace line of the failure.
DWORD Failed(DWORD error)
{
    ::SetLastError(error);
    return 0;
}

// The folder of the program: the path up to its last separator, with the separator kept after a
// drive ("C:\app.exe" starts in "C:\"). Empty for a path without a folder.
XStringW ProgramFolder(const XStringW& path)
{
    const int lastSeparator = std::max(path.ReverseFind(L"\\"), path.ReverseFind(L"/"));
    if (lastSeparator < 0) {
        return XStringW();
    }
    const XStringW folder = path.Left(lastSeparator);
    return folder.GetLength() == 2 && folder.GetAt(1) == L':' ? path.Left(lastSeparator + 1)
                                                               : folder;
}

// %NAME% expanded as the user's own environment has it, as cmd.exe does for the path. A text
// without a percent sign names no variable: it is taken as it is, without asking for the user's
// environment at every start.
bool ExpandForUser(HANDLE userToken, const XStringW& text, XStringW& expanded)
{
    if (text.Find(L"%") < 0) {
        expanded = text;
        return true;
    }
    std::vector<wchar_t> buffer(kExpandedChars, L'\0');
    if (!::ExpandEnvironmentStringsForUserW(userToken, text.GetString(), buffer.data(),
                                            static_cast<DWORD>(buffer.size()))) {
        return false;
    }
    expanded = buffer.data();
    return true;
}

// A console outside the job still runs its program: only the early notice of a crash reporter
// is lost, and the interval's pass still finds one. A console that cannot be resumed is ended.
bool JoinAndResume(HANDLE job, HANDLE console, HANDLE consoleThread, DWORD consoleId)
{
    if (!::AssignProcessToJobObject(job, console)) {
        TraceError(kLauncherName, __LINE__, L"console %u not in the programs' job (error %u)",
                   consoleId, ::GetLastError());
    }
    if (::ResumeThread(consoleThread) != static_cast<DWORD>(-1)) {
        return true;
    }
    const DWORD error = ::GetLastError();
    TraceError(kLauncherName, __LINE__, L"console %u not resumed (error %u): ended", consoleId,
               error);
    ::TerminateProcess(console, CWindowService::kEndedConsoleExitCode);
    ::SetLastError(error);
    return false;
}

}  // namespace

DWORD CWindowService::RunAdminProcessByLogonSession(UserLogon& logon, const XStringW& path,
                                                    const XStringW& arguments,
                                                    const XStringW& directory,
                                                    ScopedHandle* console,
                                                    const LaunchOptions& options)
{
    TraceLog(kLauncherName, __LINE__, L"+ %@", path);

    // The path is put between double quotes on cmd.exe's command line: a quote inside it would
    // end the quoted part early and hand the rest to cmd.exe as commands of its own.
    if (path.Find(L"\"") >= 0) {
        TraceError(kLauncherName, __LINE__, L"refuse path with quote : %@", path);
        return Failed(ERROR_INVALID_NAME);
    }
    // A line break would end cmd.exe's command early; the rest would be lost or run apart.
    if (HasControlCharacter(arguments)) {
        TraceError(kLauncherName, __LINE__, L"refuse arguments with a control character : %@",
                   arguments);
        return Failed(ERROR_INVALID_PARAMETER);
    }

    // cmd.exe would refuse a longer line with nothing but an exit code of its own.
    const XStringW commandLineText = ConsoleCommandLine(path, arguments);
    if (commandLineText.GetLength() > kMaxConsoleCommandLineChars) {
        TraceError(kLauncherName, __LINE__,
                   L"refuse a command line of %d characters, cmd.exe takes %d : %@",
                   commandLineText.GetLength(), kMaxConsoleCommandLineChars, path);
        return Failed(ERROR_FILENAME_EXCED_RANGE);
    }

    // The session and the user are the caller's: asking the sessions again here could find
    // another user by now, and run this user's command line with that user's token.
    if (!logon.IsOpen()) {
        TraceError(kLauncherName, __LINE__, L"no user logon for session %u (error %u)",
                   logon.SessionId(), logon.OpenError());
        return Failed(logon.OpenError());
    }

    // The console passes its directory on to the program. CreateProcessAsUserW expands nothing
    // in it, so a %NAME% in the path or the entry's directory is expanded here.
    XStringW workingDirectory;
    const XStringW directoryText = directory.IsEmpty() ? ProgramFolder(path) : directory;
    if (!directoryText.IsEmpty() &&
        !ExpandForUser(logon.Token(), directoryText, workingDirectory)) {
        const DWORD error = ::GetLastError();
        logon.NoteFailedLaunch();
        TraceError(kLauncherName, __LINE__, L"fail ExpandEnvironmentStringsForUser %@, gle : %d",
                   directoryText, error);
        return Failed(error);
    }
    // A relative folder would be taken from the service's own current directory.
    if (!directory.IsEmpty() && !IsAbsolutePath(workingDirectory)) {
        TraceError(kLauncherName, __LINE__, L"refuse Directory \"%@\" : not absolute", directory);
        return Failed(ERROR_BAD_PATHNAME);
    }

    XStringW applicationName;
    applicationName.Format(L"%@\\%s", GetSystemDirectoryPath(), CWindowService::kConsoleImageName);
    WritableText commandLine(commandLineText);
    WritableText desktop(kInteractiveDesktop);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktop.Get();
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION created{};
    // Without a folder (a bare file name) the console keeps the service's directory.
    const wchar_t* const currentDirectory =
        workingDirectory.IsEmpty() ? nullptr : workingDirectory.GetString();

    // The console inherits this process's error mode unless the entry wants the dialog; it is
    // held until it has joined the job, so that nothing it starts runs outside it.
    const DWORD flags = kCreationFlags | (options.crashDialog ? CREATE_DEFAULT_ERROR_MODE : 0) |
                        (options.job != nullptr ? CREATE_SUSPENDED : 0);
    const BOOL result = ::CreateProcessAsUserW(
        logon.Token(), applicationName.GetString(), commandLine.Get(), nullptr, nullptr, FALSE,
        flags, logon.Environment(), currentDirectory, &startup, &created);
    if (!result) {
        const DWORD error = ::GetLastError();
        TraceError(kLauncherName, __LINE__, L"fail CreateProcessAsUser ret : %d, gle : %d", result,
                   error);
        logon.NoteFailedLaunch();
        return Failed(error);
    }
    const ScopedHandle processThread(created.hThread);
    ScopedHandle process(created.hProcess);
    if (options.job != nullptr && !JoinAndResume(options.job, process.Get(), processThread.Get(),
                                                 created.dwProcessId)) {
        return Failed(::GetLastError());
    }
    TraceLog(kLauncherName, __LINE__, L"console %d : %@ in %@", created.dwProcessId,
             commandLineText, workingDirectory);
    if (console != nullptr) {
        *console = std::move(process);
    }
    return created.dwProcessId;
}

bool CWindowService::ExpandForLogonUser(const UserLogon& logon, const XStringW& text,
                                        XStringW& expanded)
{
    if (!logon.IsOpen()) {
        ::SetLastError(logon.OpenError());
        return false;
    }
    return ExpandForUser(logon.Token(), text, expanded);
}
