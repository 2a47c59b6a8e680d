#pragma once
// The trace log's process-wide state and the steps behind TraceLog, TraceError and TraceFatal.
// Only Trace.cpp and the tests use this header; everything else calls the functions of Trace.h.

#include <windows.h>

#include <atomic>
#include <memory>
#include <unordered_map>

#include "common/ScopedHandle.h"
#include "strings/XStringW.h"

// One record per channel, kept for the life of the process.
struct _TRACE_INFO_ {
    int level = 0;
    XStringW name;      // base name of the channel's log files
    XStringW fileName;  // current log file inside the log directory; empty before the first line
    // The current file, kept open between lines; closed when it is replaced or a write fails.
    ScopedHandle file;
    LONGLONG fileCreatedAt = 0;  // its creation time in whole seconds since 1601 (UTC)
};

class CTraceManager {
public:
    static constexpr int kDefaultMaxFileSizeMB = 3;
    static constexpr int kDefaultMaxFileAgeHours = 1;
    static constexpr ULONGLONG kDefaultMaxFolderBytes = 64ull << 20;

    CTraceManager();
    ~CTraceManager();
    CTraceManager(const CTraceManager&) = delete;
    CTraceManager& operator=(const CTraceManager&) = delete;

    // Fixes the log directory and creates the record and level of TRACE_CHANNEL once; the level
    // decides, for the life of the manager, whether the channel is on.
    void RegisterChannel(int level, const XStringW& exeName, const XStringW& directory);
    // Stops counting this manager among the writers of the log directory (at process exit).
    void LeaveWriters();
    // Fixes logDirectory the first time; later calls change nothing.
    void SetLogDirectory(const XStringW& directory);

    // Whether TRACE_CHANNEL has a level of 1 or more. Takes no lock: it is asked before every
    // trace call, whether tracing is on or not.
    bool IsChannelOn() const { return channelOn.load(std::memory_order_acquire); }
    // Writes one line to TRACE_CHANNEL's current file when the channel is on. The file is kept
    // open from one line to the next: it is opened again only when it is replaced (too large or
    // too old) and after a failed write.
    void WriteChannelLine(const XStringW& prefix, bool error, const XStringW& message);

    // Opens the record's log file, appends one line and closes the file: for records that write
    // seldom (the fatal log). fileName is the record's current file name and is updated when the
    // file is named or replaced.
    void WriteTraceLine(const XStringW& name, XStringW& fileName, const XStringW& prefix,
                        bool error, const XStringW& message);
    // The record's current log file opened for appending, replaced by a new one when it is too
    // large or too old; invalid when no file could be opened.
    ScopedHandle OpenLogFile(const XStringW& name, XStringW& fileName);
    bool IsLogFileFresh(HANDLE file) const;
    // Replaces the record's file by the first of "<name>_MMDD_hhmm.log", "<name>_MMDD_hhmm_1.log",
    // "<name>_MMDD_hhmm_2.log", ... (current minute) that is new, empty, or below the size limit
    // and fresh. A file replaced within its own minute is followed by a higher number only, so
    // that a busy minute starts new files instead of writing on past the limit.
    ScopedHandle CreateLogFile(const XStringW& name, XStringW& fileName);

    // The fields below are guarded by lock; tests read them only while no line is being written.
    // levels is written only by RegisterChannel, which mirrors it in channelOn.
    std::unordered_map<int, int> levels;
    std::unordered_map<int, std::unique_ptr<_TRACE_INFO_>> channels;
    XStringW logDirectory;
    int maxFileSizeMB = kDefaultMaxFileSizeMB;  // negative: no size limit
    int maxFileAgeHours = kDefaultMaxFileAgeHours;
    // What the trace files of the log directory may take together once a new file is started.
    ULONGLONG maxFolderBytes = kDefaultMaxFolderBytes;

private:
    enum class OpenOutcome { kFailed, kRefused, kOpened, kCreated };

    bool IsLogFileFull(DWORD size) const;
    // Opens a file of the log directory for appending, making the directory first when it is
    // missing. A link is never followed: a log directory or a log file that is a reparse point
    // (or, under Wine, a symbolic link, which it opens as its target) is refused.
    ScopedHandle OpenForAppend(const XStringW& fileName, OpenOutcome& outcome);
    static ScopedHandle OpenWithoutFollowing(const XStringW& path, DWORD disposition);
    static bool IsPlainFile(HANDLE file);
    bool IsLogDirectoryPlain();
    bool IsFileOfLogDirectory(HANDLE file, const XStringW& fileName);
    // After a new file was started: removes the oldest trace files of the directory beyond
    // maxFolderBytes, and says so in the new file.
    void ApplyRetention(HANDLE newFile, const XStringW& newFileName);
    // Appends one line, in turn with the other processes of the log directory where the
    // platform's appends are not atomic; false when the write failed.
    bool Append(HANDLE file, const XStringW& prefix, bool error, const XStringW& message);
    // Whether the channel's open file is still the one to write to.
    bool IsCurrent(const _TRACE_INFO_& record) const;
    // The mutex shared by every process that writes to logDirectory; null where appends are
    // atomic, until the directory is fixed, or when it cannot be had.
    HANDLE AppendMutex();
    // The count of processes that write to logDirectory, shared between them; this manager
    // counts itself at its first line. Null when it cannot be had.
    struct SharedWriters {
        volatile LONG count;
        volatile LONG unguardedWrites;  // lines being written without the mutex
    };
    SharedWriters* JoinWriters();

    // Held from the choice of a channel's file until its line is written, so that two threads never
    // rotate the same channel at once. Re-entrant, as the public steps call one another.
    CRITICAL_SECTION lock;
    // Set once by RegisterChannel: levels[TRACE_CHANNEL] is 1 or more.
    std::atomic<bool> channelOn{false};
    // Opened at the first line and kept for the life of the manager, as the log directory never
    // changes once fixed; opening a named object costs nearly as much as the rest of a line.
    ScopedHandle appendMutex;
    // Set once a wait for the mutex expired: a holder that never lets go slows one line only.
    bool appendMutexStuck = false;
    ScopedHandle writersSection;
    SharedWriters* writers = nullptr;
    bool writersTried = false;
    // The log directory's own path as the file system resolves it, for checking where a file
    // that was opened really lies; empty until first needed.
    XStringW resolvedLogDirectory;
    XStringW resolvedFor;  // the log directory that resolvedLogDirectory was taken for
    // The last log file found to lie in the log directory itself (or created there).
    XStringW verifiedFileName;
};

// The process-wide manager, created on first use in a thread-safe way and never destroyed, so that
// threads still tracing while the process exits find it intact.
CTraceManager& GetTraceManager();

// The name of the mutex the processes appending to a log directory take turns with.
XStringW AppendMutexName(const XStringW& directory);

// Whether the named file exists in the executable's directory.
bool IsTraceSwitchOn(const XStringW& fileName);

// "<function>(<line>) : ", the narrow function name converted from the ANSI code page.
XStringW MakeTracePrefix(const char* functionName, int line);

// Whether a file name is one that the trace log gives its files: "<channel>_MMDD_hhmm.log" or
// "<channel>_MMDD_hhmm_<n>.log".
bool IsTraceFileName(const wchar_t* fileName);

// What a removal of old trace files did.
struct TraceRetentionResult {
    int removed = 0;
    ULONGLONG removedBytes = 0;
    int failed = 0;
    DWORD lastError = ERROR_SUCCESS;
};
// Removes the trace files of the directory, least recently written first, until those left take
// at most maxBytes; keptFileName and the files that a writer holds open are never removed. Other
// files, folders and reparse points are neither counted nor touched.
TraceRetentionResult RemoveOldTraceFiles(const XStringW& directory, const XStringW& keptFileName,
                                         ULONGLONG maxBytes);

// "<name>_MMDD_hhmm.log" from the current local time.
XStringW MakeLogFileName(const XStringW& name);
// "<name>_MMDD_hhmm.log" for suffix 0, "<name>_MMDD_hhmm_<suffix>.log" otherwise.
XStringW MakeLogFileName(const XStringW& name, const SYSTEMTIME& time, int suffix);
