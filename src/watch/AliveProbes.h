#pragma once
// One look at what a liveness check watches, each bounded in time: a file's last write, a TCP
// connection to a local port, an HTTP GET. They block for as long as the target makes them
// (up to their bound), so they run only on the checks' own pool threads, never on the watch
// thread.

#include <windows.h>

#include "strings/XStringW.h"

struct ProbeResult {
    bool good = false;
    XStringW words;  // what was seen: "refused", "answered 503", "did not answer within 5 s"
    // A file: its last write (FILETIME, UTC) and size; there is false when it could not be read.
    bool there = false;
    ULONGLONG writtenAt = 0;
    ULONGLONG size = 0;
};

namespace alive_probe {

constexpr DWORD kConnectTimeoutMs = 2000;
constexpr DWORD kAnswerTimeoutMs = 5000;

// Starts and ends the socket library for the process's probes (counted, as the library is).
bool StartNetworking();
void EndNetworking();

// The file's last write and size, read through a handle of its own: on Windows the folder's
// record of a file that a program holds open lags behind its writes, and under Wine only the
// creation time is off once a file is appended to. good: the file was read.
ProbeResult File(const XStringW& path);
// A connection to 127.0.0.1, or to ::1 where nothing listens on 127.0.0.1, accepted within
// kConnectTimeoutMs.
ProbeResult Port(DWORD port);
// A GET of the URL, asked directly (no proxy, no redirect followed), answered with 2xx or 3xx
// within kAnswerTimeoutMs.
ProbeResult Url(const XStringW& url);

}  // namespace alive_probe
