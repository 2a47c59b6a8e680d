#pragma once
// The trace log's process-wide state and the steps behind TraceLog, TraceError and TraceFatal.
// Only Trace.cpp and the tests use this header; everything else calls the functions of Trace.h.

#include <windows.h>

#include <memory>
#include <unordered_map>

#include "common/ScopedHandle.h"
#include "strings/XStringA.h"
#include "strings/XStringW.h"

// One record per channel, kept for the life of the process.
struct _TRACE_INFO_ {
    int level = 0;
    XStringW name;      // base name of the channel's log files
    XStringW fileName;  // current log file inside the log directory; empty before the first line
};

class CTraceManager {
public:
    static constexpr int kDefaultMaxFileSizeMB = 3;
    static constexpr int kDefaultMaxFileAgeHours = 1;

    CTraceManager();
    ~CTraceManager();
    CTraceManager(const CTraceManager&) = delete;
    CTraceManager& operator=(const CTraceManager&) = delete;

    // Fixes the log directory and creates the record and level of TRACE_CHANNEL once.
    void RegisterChannel(int level, const XStringW& exeName, const XStringW& directory);
    // Fixes logDirectory the first time; later calls change nothing.
    void SetLogDirectory(const XStringW& directory);

    // Whether TRACE_CHANNEL has a level of 1 or more.
    bool IsChannelOn();
    // Writes one line to TRACE_CHANNEL's current file when the channel is on.
    void WriteChannelLine(const XStringW& prefix, bool error, const XStringW& message);

    // Opens the record's log file, appends one line and closes the file. fileName is the record's
    // current file name and is updated when the file is named or replaced.
    void WriteTraceLine(const XStringW& name, XStringW& fileName, const XStringW& prefix,
                        bool error, const XStringW& message);
    // The record's current log file opened for appending, replaced by a new one when it is too
    // large or too old; invalid when no file could be opened.
    ScopedHandle OpenLogFile(const XStringW& name, XStringW& fileName);
    bool IsLogFileFresh(HANDLE file) const;
    ScopedHandle CreateLogFile(const XStringW& name, XStringW& fileName);

    // The fields below are guarded by lock; tests read them only while no line is being written.
    std::unordered_map<int, int> levels;
    std::unordered_map<int, std::unique_ptr<_TRACE_INFO_>> channels;
    XStringW logDirectory;
    int maxFileSizeMB = kDefaultMaxFileSizeMB;  // negative: no size limit
    int maxFileAgeHours = kDefaultMaxFileAgeHours;

private:
    bool IsLogFileFull(DWORD size) const;
    ScopedHandle OpenForAppend(const XStringW& fileName);

    // Held from the choice of a channel's file until its line is written, so that two threads never
    // rotate the same channel at once. Re-entrant, as the public steps call one another.
    CRITICAL_SECTION lock;
};

// The process-wide manager, created on first use in a thread-safe way and never destroyed, so that
// threads still tracing while the process exits find it intact.
CTraceManager& GetTraceManager();

// Whether the named file exists in the executable's directory.
bool IsTraceSwitchOn(const XStringW& fileName);

// "<function>(<line>) : ".
XStringW MakeTracePrefix(const XStringA& functionName, int line);

// "<name>_MMDD_hhmm.log" from the current local time.
XStringW MakeLogFileName(const XStringW& name);
