#include "process/ProcessOwner.h"

#include <sddl.h>

#include "common/ScopedHandle.h"
#include "trace/Trace.h"

namespace {
// LocalSystem, LocalService and NetworkService: no request from a user's side ends theirs.
constexpr const wchar_t* kServiceAccounts[] = {L"S-1-5-18", L"S-1-5-19", L"S-1-5-20"};

XStringW SidText(PSID sid)
{
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(sid, &text)) {
        return XStringW();
    }
    const ScopedLocalMemory owner(text);
    return XStringW(text);
}
}  // namespace

TokenIdentity IdentityOfToken(HANDLE token)
{
    TokenIdentity identity;
    BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)] = {};
    BYTE label[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_MANDATORY_LABEL)] = {};
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenUser, user, sizeof(user), &size) ||
        !::GetTokenInformation(token, TokenIntegrityLevel, label, sizeof(label), &size)) {
        TraceError("IdentityOfToken", __LINE__, L"token not readable (error %u)", ::GetLastError());
        return identity;
    }
    const PSID labelSid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(label)->Label.Sid;
    const UCHAR count = *::GetSidSubAuthorityCount(labelSid);
    identity.integrity = count > 0 ? *::GetSidSubAuthority(labelSid, count - 1u) : 0;
    identity.userSid = SidText(reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
    return identity;
}

TokenIdentity IdentityOfProcess(HANDLE process)
{
    ScopedHandle token;
    if (!::OpenProcessToken(process, TOKEN_QUERY, token.Receive())) {
        TraceError("IdentityOfProcess", __LINE__, L"no token of the process (error %u)",
                   ::GetLastError());
        return TokenIdentity();
    }
    return IdentityOfToken(token.Get());
}

XStringW ProcessImagePath(HANDLE process)
{
    wchar_t path[MAX_PATH * 2] = {};
    DWORD chars = sizeof(path) / sizeof(path[0]);
    return ::QueryFullProcessImageNameW(process, 0, path, &chars) ? XStringW(path) : XStringW();
}

XStringW ProcessImagePath(DWORD processId)
{
    const ScopedHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    return process ? ProcessImagePath(process.Get()) : XStringW();
}

bool MayEndFor(const TokenIdentity& requester, const TokenIdentity& target)
{
    if (!requester.IsKnown() || !target.IsKnown()) {
        return false;
    }
    for (const wchar_t* account : kServiceAccounts) {
        if (target.userSid == account) {
            return false;
        }
    }
    return target.userSid == requester.userSid.GetString() && target.integrity <= requester.integrity;
}
