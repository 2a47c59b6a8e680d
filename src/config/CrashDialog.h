#pragma once
// An entry's "CrashDialog": whether its program may show the platform's crash dialog. "1" (REG_SZ)
// or a REG_DWORD other than 0 lets it; absent, or anything else, means no dialog: a crash ends the
// program at once, and the service starts it again.

#include <windows.h>

#include "strings/XStringW.h"

namespace crash_dialog {

constexpr const wchar_t* kValueName = L"CrashDialog";
constexpr const wchar_t* kShown = L"1";

// What an add does with the value.
enum class Change { kKeep, kShow, kHide };

// Whether a value of that type, read as text and number, lets the dialog show.
bool FromValue(DWORD type, const XStringW& text, DWORD number);
// The setting of the entry whose key is open, for the service.
bool ForKey(HKEY entryKey);
// The entry's setting below HKEY_CURRENT_USER, for the command line.
bool ForUserEntry(const XStringW& entryName);

// Whether an administrator asked Windows Error Reporting to keep dumps of crashes of the image
// (its LocalDumps key, or a subkey named after the image). Such a program is started with the
// system's default error mode, so that the reporter runs as it would without the service.
bool DumpsAskedFor(const XStringW& imageName);

}  // namespace crash_dialog
