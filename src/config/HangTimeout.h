#pragma once
// An entry's "HangTimeout": how many seconds its program may show no responding window before
// the service ends it and starts it again. A REG_DWORD, or a REG_SZ of decimal digits; absent, 0
// or anything else means no hang watch. A number is kept within kMinSeconds .. kMaxSeconds.

#include <windows.h>

#include "strings/XStringW.h"

namespace hang_timeout {

constexpr const wchar_t* kValueName = L"HangTimeout";
// Windows call a window hung after five seconds without reading its messages: a shorter timeout
// could not be told.
constexpr DWORD kMinSeconds = 5;
constexpr DWORD kMaxSeconds = 3600;

// The timeout in seconds a value stands for (0: off), given its type and what the registry
// helper read of it.
DWORD FromValue(DWORD type, const XStringW& text, DWORD number);

// The entry's timeout below HKEY_USERS\<sid>, for the service.
DWORD ForEntry(const XStringW& sid, const XStringW& entryName);
// The timeout of the entry whose key is open.
DWORD ForKey(HKEY entryKey);
// The entry's timeout below HKEY_CURRENT_USER, for the command line.
DWORD ForUserEntry(const XStringW& entryName);

}  // namespace hang_timeout
