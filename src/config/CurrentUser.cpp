// The user of the active terminal-services session and that user's string SID.

#include "config/CQuorbelServiceHelper.h"

#include <windows.h>
#include <sddl.h>
#include <wtsapi32.h>

#include <cwchar>

#include "common/ScopedHandle.h"
#include "process/Sessions.h"
#include "trace/Trace.h"

namespace {

constexpr DWORD kSidBufferBytes = 1024;
constexpr DWORD kDomainBufferChars = 1024;

XStringW QuerySessionText(DWORD sessionId, WTS_INFO_CLASS infoClass)
{
    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    const BOOL queried = WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessionId,
                                                     infoClass, &buffer, &bytes);
    const ScopedWtsMemory bufferOwner(buffer);
    XStringW text;
    if (queried && buffer != nullptr) {
        text = buffer;
        SecureZeroMemory(buffer, bytes);
    }
    return text;
}

XStringW QueryActiveSessionText(WTS_INFO_CLASS infoClass)
{
    const DWORD sessionId = FindActiveSessionId();
    return sessionId != 0 ? QuerySessionText(sessionId, infoClass) : XStringW();
}

// DOMAIN\user of the session; a lone backslash when there is none (session 0). Both names come
// from the one session.
XStringW SessionAccountName(DWORD sessionId)
{
    XStringW domain;
    XStringW user;
    if (sessionId != 0) {
        domain = QuerySessionText(sessionId, WTSDomainName);
        user = QuerySessionText(sessionId, WTSUserName);
    }
    XStringW account;
    account.Format(L"%@\\%@", domain, user);
    return account;
}

XStringW SidToText(PSID sid)
{
    LPWSTR sidText = nullptr;
    if (!ConvertSidToStringSidW(sid, &sidText)) {
        TraceLog("CQuorbelServiceHelper::GetCurrentUserSID", __LINE__,
                 L"CoveretSidToStringSid failed");
        return XStringW();
    }
    const ScopedLocalMemory sidTextOwner(sidText);
    const XStringW text(sidText);
    SecureZeroMemory(sidText, wcslen(sidText) * sizeof(wchar_t));
    return text;
}

}  // namespace

XStringW CQuorbelServiceHelper::GetSessionUserName()
{
    return QueryActiveSessionText(WTSUserName);
}

XStringW CQuorbelServiceHelper::GetSessionDomainName()
{
    return QueryActiveSessionText(WTSDomainName);
}

XStringW CQuorbelServiceHelper::GetSessionAccountName(DWORD sessionId)
{
    return SessionAccountName(sessionId);
}

XStringW CQuorbelServiceHelper::GetCurrentUserSID()
{
    return GetSessionUserSID(FindActiveSessionId());
}

XStringW CQuorbelServiceHelper::GetSessionUserSID(DWORD sessionId)
{
    const ScopedGlobalMemory domainBuffer(
        GlobalAlloc(GMEM_ZEROINIT, kDomainBufferChars * sizeof(wchar_t)));
    // Without the buffer the lookup is told it has no room, and fails like any other lookup.
    DWORD domainChars = domainBuffer ? kDomainBufferChars : 0;
    alignas(SID) BYTE sidBuffer[kSidBufferBytes] = {};
    DWORD sidBytes = kSidBufferBytes;
    SID_NAME_USE use = SidTypeUnknown;

    const XStringW account = SessionAccountName(sessionId);
    TraceLog("CQuorbelServiceHelper::GetCurrentUserSID", __LINE__, L"CurrentUserName : %@",
             account);

    auto* const domain = static_cast<wchar_t*>(domainBuffer.Get());
    XStringW sid;
    if (!LookupAccountNameW(nullptr, account.GetString(), sidBuffer, &sidBytes, domain,
                            &domainChars, &use)) {
        TraceLog("CQuorbelServiceHelper::GetCurrentUserSID", __LINE__, L"LookupAccountName failed");
    } else {
        sid = SidToText(sidBuffer);
    }
    if (domain != nullptr) {
        SecureZeroMemory(domain, kDomainBufferChars * sizeof(wchar_t));
    }
    return sid;
}
