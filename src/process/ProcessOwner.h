#pragma once
// Who a process runs as, and whether a requester may have it ended: the service runs as
// LocalSystem and could end almost anything, so it ends a process on a request from a user's side
// only when that user could have ended it themselves. That is the case for a process of the same
// user at no higher integrity level; never for one of LocalSystem, of a service account or of
// another user, nor for one the user runs elevated.

#include <windows.h>

#include "strings/XStringW.h"

struct TokenIdentity {
    XStringW userSid;     // empty: not known
    DWORD integrity = 0;  // the mandatory label's RID (SECURITY_MANDATORY_MEDIUM_RID, ...)

    bool IsKnown() const { return !userSid.IsEmpty(); }
};

// The user and integrity of a token opened with TOKEN_QUERY; unknown (traced) when it cannot be read.
TokenIdentity IdentityOfToken(HANDLE token);
// Of a process handle with PROCESS_QUERY_LIMITED_INFORMATION.
TokenIdentity IdentityOfProcess(HANDLE process);

// The full path of the process's image; empty when it cannot be asked.
XStringW ProcessImagePath(HANDLE process);
XStringW ProcessImagePath(DWORD processId);

// Whether a process that runs as target may be ended for requester.
bool MayEndFor(const TokenIdentity& requester, const TokenIdentity& target);

// The one place the owner of a process is read, so that in-process tests can give a process
// another owner: under Wine every process has the same token.
struct OwnerSeams {
    using IdentityFunc = TokenIdentity (*)(HANDLE process);
    IdentityFunc processIdentity = &IdentityOfProcess;
};
