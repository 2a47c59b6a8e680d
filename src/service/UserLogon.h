#pragma once
// The user logged on to one session, as the launcher needs them: the session, the user's primary
// token and environment block, and the user's SID as the token has it. The watch thread opens it
// once for the session its pass found and keeps it while that session and its user stay, so that
// a start asks nothing of the sessions; a logon, a logoff or a change of session closes it, and
// so does a launch with it that failed. The next pass opens it afresh.

#include <windows.h>

#include <atomic>

#include "common/ScopedHandle.h"
#include "strings/XStringW.h"

class UserLogon {
public:
    UserLogon() = default;
    UserLogon(const UserLogon&) = delete;
    UserLogon& operator=(const UserLogon&) = delete;

    // Takes the session's user token and makes the user's environment block from it. False
    // (traced) when either cannot be had; the reason is kept as OpenError and is the thread's
    // last error, and the logon stays closed but remembers the session.
    bool Open(DWORD sessionId);
    void Close();

    bool IsOpen() const { return token.IsValid() && environment.IsValid(); }
    // The session it was opened for, also when that failed (0: none).
    DWORD SessionId() const { return sessionId; }
    HANDLE Token() const { return token.Get(); }
    void* Environment() const { return environment.Get(); }
    // The user of the token as a string SID; empty when the token did not tell.
    const XStringW& UserSid() const { return userSid; }
    // Why Open failed; ERROR_NO_SUCH_LOGON_SESSION before any Open.
    DWORD OpenError() const { return openError; }

    // A launch with the token failed. The launchers say so from their own threads; the owner
    // closes the logon when it next looks, never while a launch may use it.
    void NoteFailedLaunch() { launchFailed.store(true); }
    bool HasFailedLaunch() const { return launchFailed.load(); }

private:
    DWORD sessionId = 0;
    ScopedHandle token;
    ScopedEnvironmentBlock environment;
    XStringW userSid;
    DWORD openError = ERROR_NO_SUCH_LOGON_SESSION;
    std::atomic<bool> launchFailed{false};
};
