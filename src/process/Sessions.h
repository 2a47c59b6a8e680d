#pragma once
// Terminal-services sessions: the one the service starts the user's programs in.

#include <windows.h>

// The id of the first active session in enumeration order (with several active at once, under
// remote desktop), or 0 when there is none (0 is never a user's session).
DWORD FindActiveSessionId();

// The session this process runs in; false when it cannot be learned.
bool FindOwnSessionId(DWORD& sessionId);
