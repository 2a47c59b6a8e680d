#pragma once
// An entry's liveness check: what shows that its program still works, beside the window hang
// watch, for programs without a window that tells the truth. One of
//   file PATH   the file's last write is no older than the hang timeout (a heartbeat file);
//               %NAME% is expanded with the user's environment;
//   port PORT   a TCP connection to the port on this machine is accepted within 2 s;
//   url URL     an HTTP or HTTPS GET answers 2xx or 3xx within 5 s.
// Stored as that text ("port 8080"), a REG_SZ: "AliveCheck" in the entry's key, or a value named
// after the entry in the machine policy's AliveChecks key. A check fails its program once it has
// failed for the hang timeout (kDefaultTimeoutSeconds when the entry has none), counted from the
// program's start or its last good check, whichever is later.

#include <windows.h>

#include "strings/XStringW.h"

namespace alive_check {

constexpr const wchar_t* kValueName = L"AliveCheck";
constexpr DWORD kDefaultTimeoutSeconds = 60;
// Longer texts are refused: a URL has no business being longer.
constexpr int kMaxTargetChars = 2048;

enum class Kind { kNone, kFile, kPort, kUrl };

struct Check {
    Kind kind = Kind::kNone;
    XStringW target;  // the path as written, the port's digits, or the URL
    DWORD port = 0;   // kPort: the port number

    bool IsSet() const { return kind != Kind::kNone; }
    // "port 8080", as stored; empty for none.
    XStringW Text() const;
    bool operator==(const Check& other) const;
    bool operator!=(const Check& other) const { return !(*this == other); }
};

// "file", "port", "url"; empty for none.
const wchar_t* KindName(Kind kind);

// The check of that kind and target ("file" with a path, "port" with a number, "url" with a
// URL); false with the reason in words when the target is no good one.
bool Make(Kind kind, const XStringW& target, Check& check, XStringW& reason);
// The check a stored text stands for; false with the reason when it stands for none.
bool Parse(const XStringW& text, Check& check, XStringW& reason);

// The seconds a check may fail before its program is ended: the entry's hang timeout, or the
// default when it has none.
DWORD TimeoutSeconds(DWORD hangTimeoutSeconds);

// The entry's check below HKEY_USERS\<sid>, for the service; none when absent or refused (traced).
Check ForEntry(const XStringW& sid, const XStringW& entryName);
// The same from the entry's open key.
Check ForKey(HKEY entryKey, const XStringW& entryName);
// The same below HKEY_CURRENT_USER, for the command line.
Check ForUserEntry(const XStringW& entryName);

}  // namespace alive_check
