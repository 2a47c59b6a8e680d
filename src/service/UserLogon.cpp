#include "service/UserLogon.h"

#include <sddl.h>
#include <userenv.h>
#include <wtsapi32.h>

#include "trace/Trace.h"

namespace {
constexpr const char* kFunction = "UserLogon::Open";

XStringW TokenUserSid(HANDLE token)
{
    BYTE buffer[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)] = {};
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size)) {
        TraceError(kFunction, __LINE__, L"no user in the token (error %u)", ::GetLastError());
        return XStringW();
    }
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
        TraceError(kFunction, __LINE__, L"the token's user has no SID text (error %u)",
                   ::GetLastError());
        return XStringW();
    }
    const ScopedLocalMemory textOwner(text);
    return XStringW(text);
}
}  // namespace

bool UserLogon::Open(DWORD session)
{
    Close();
    sessionId = session;
    if (session == 0) {
        TraceError(kFunction, __LINE__, L"no one logged in");
        openError = ERROR_NO_SUCH_LOGON_SESSION;
        ::SetLastError(openError);
        return false;
    }
    if (!::WTSQueryUserToken(session, token.Receive())) {
        openError = ::GetLastError();
        TraceError(kFunction, __LINE__, L"fail WTSQueryUserToken for session %u (error %u)",
                   session, openError);
        ::SetLastError(openError);
        return false;
    }
    if (!::CreateEnvironmentBlock(environment.Receive(), token.Get(), TRUE)) {
        openError = ::GetLastError();
        TraceError(kFunction, __LINE__, L"fail CreateEnvironmentBlock (error %u)", openError);
        token.Reset();
        ::SetLastError(openError);
        return false;
    }
    userSid = TokenUserSid(token.Get());
    openError = ERROR_SUCCESS;
    return true;
}

void UserLogon::Close()
{
    environment.Reset();
    token.Reset();
    userSid = XStringW();
    sessionId = 0;
    openError = ERROR_NO_SUCH_LOGON_SESSION;
    launchFailed.store(false);
}
