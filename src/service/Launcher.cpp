#include <windows.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <utility>
#include <vector>

#include "common/ScopedHandle.h"
#include "service/CWindowService.h"
#include "trace/Trace.h"
#include "paths/ModulePaths.h"

namespace {
const char* const kLauncherName = "CWindowService::RunAdminProcessByLogonSession";
const wchar_t* const kCommandInterpreter = L"cmd.exe";
const wchar_t* const kInteractiveDesktop = L"winsta0\\default";
constexpr DWORD kCreationFlags = CREATE_UNICODE_ENVIRONMENT | NORMAL_PRIORITY_CLASS;  // 0x420
static_assert(kCreationFlags == 0x420, "unicode environment, normal priority");
// The start-up record's size differs between the builds; cb is set with sizeof.
#ifdef _WIN64
static_assert(sizeof(STARTUPINFOW) == 104, "STARTUPINFOW of the 64-bit platform");
#else
static_assert(sizeof(STARTUPINFOW) == 68, "STARTUPINFOW of the 32-bit platform");
#endif

// The id of the first active session, or 0 when there is none (0 is never a user's session).
DWORD FindActiveSessionId()
{
    PWTS_SESSION_INFOW sessions = nullptr;
    DWORD count = 0;
    if (!::WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) {
        return 0;
    }
    const ScopedWtsMemory sessionsOwner(sessions);
    for (DWORD i = 0; i < count; ++i) {
        if (sessions[i].State == WTSActive) {
            return sessions[i].SessionId;
        }
    }
    return 0;
}

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
}  // namespace

DWORD CWindowService::RunAdminProcessByLogonSession(const XStringW& path)
{
    return RunAdminProcessByLogonSession(path, XStringW(), XStringW(), nullptr);
}

DWORD CWindowService::RunAdminProcessByLogonSession(const XStringW& path, const XStringW&,
                                                    const XStringW&, ScopedHandle* console)
{
    TraceLog(kLauncherName, __LINE__, L"+ %@", path);

    // The path is put between double quotes on cmd.exe's command line: a quote inside it would
    // end the quoted part early and hand the rest to cmd.exe as commands of its own.
    if (path.Find(L"\"") >= 0) {
        TraceError(kLauncherName, __LINE__, L"refuse path with quote : %@", path);
        return 0;
    }

    const DWORD sessionId = FindActiveSessionId();
    if (sessionId == 0) {
        TraceError(kLauncherName, __LINE__, L"no one logged in");
        return 0;
    }

    ScopedHandle userToken;
    if (!::WTSQueryUserToken(sessionId, userToken.Receive())) {
        TraceError(kLauncherName, __LINE__, L"fail WTSQueryUserToken");
        return 0;
    }

    ScopedEnvironmentBlock environment;
    if (!::CreateEnvironmentBlock(environment.Receive(), userToken.Get(), TRUE)) {
        TraceError(kLauncherName, __LINE__, L"fail CreateEnvironmentBlock");
        return 0;
    }

    XStringW applicationName;
    applicationName.Format(L"%@\\%s", GetSystemDirectoryPath(), kCommandInterpreter);
    XStringW commandLineText;
    // cmd.exe strips the outer pair of quotes and runs what is left. A path in two pairs stays one
    // quoted program path after that, whatever it holds: with one pair, a path with any of
    // & < > ( ) @ ^ | would be parsed as commands ("C:\Program Files (x86)\..." would not even
    // start). %NAME% is still expanded inside the quotes.
    commandLineText.Format(L"/c \"\"%@\"\"", path);
    WritableText commandLine(commandLineText);
    WritableText desktop(kInteractiveDesktop);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktop.Get();
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION created{};

    const BOOL result = ::CreateProcessAsUserW(
        userToken.Get(), applicationName.GetString(), commandLine.Get(), nullptr, nullptr, FALSE,
        kCreationFlags, environment.Get(), nullptr, &startup, &created);
    const DWORD error = result ? ERROR_SUCCESS : ::GetLastError();

    environment.Reset();
    userToken.Reset();

    if (!result) {
        TraceError(kLauncherName, __LINE__, L"fail CreateProcessAsUser ret : %d, gle : %d", result,
                   error);
        return 0;
    }
    const ScopedHandle processThread(created.hThread);
    ScopedHandle process(created.hProcess);
    if (console != nullptr) {
        *console = std::move(process);
    }
    return created.dwProcessId;
}
