#pragma once
// The platform's own wording of a system error code, for answers and event-log entries.

#include <windows.h>

#include "strings/XStringW.h"

// "error N: <the system's text>", or "error N" when the system has no text for the code.
XStringW SystemErrorText(DWORD error);
// The system's text alone, without a trailing line break; empty when it has none.
XStringW SystemMessageText(DWORD error);
