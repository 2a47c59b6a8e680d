#pragma once
// A relaunch asked for by the user: the command line writes "Relaunch" (REG_QWORD, the request's
// time as a FILETIME value) into the entry's key before it closes the program, and the
// service, seeing that program's run end, takes the request: the end is then neither a quick exit
// nor counted toward the backoff, and the program starts again at once. A request counts only
// for an end that came after it, within kValidMs; any other is deleted unused.

#include <windows.h>

#include "strings/XStringW.h"

namespace relaunch_request {

constexpr const wchar_t* kValueName = L"Relaunch";
// The command line waits up to 5 s for the program to close before it ends it.
constexpr ULONGLONG kValidMs = 30000;

// Below HKEY_CURRENT_USER, for the command line. The entry's key must exist: none is created.
LONG Write(const XStringW& entryName);
void Withdraw(const XStringW& entryName);

// Below HKEY_USERS\<sid>, for the service: whether a request stands for the end at endedAt (a
// FILETIME value; 0: an end found just now), written before it. The value is deleted whenever one
// is found.
bool Take(const XStringW& sid, const XStringW& entryName, ULONGLONG endedAt);

}  // namespace relaunch_request

// A start asked for by restart of an active entry that the service holds back (backing off, or
// after a failed start): the command line writes "StartNow" (REG_QWORD, the request's time) into
// the entry's key, and the service, seeing the list change, lets the program start at once; its
// count of quick exits stays as it is. A request older than kValidMs is deleted unused.
namespace start_request {

constexpr const wchar_t* kValueName = L"StartNow";
constexpr ULONGLONG kValidMs = 30000;

// Below HKEY_CURRENT_USER, for the command line. The entry's key must exist: none is created.
LONG Write(const XStringW& entryName);
// Below HKEY_USERS\<sid>, for the service: whether a request stands now. The value is deleted
// whenever one is found.
bool Take(const XStringW& sid, const XStringW& entryName);

}  // namespace start_request
