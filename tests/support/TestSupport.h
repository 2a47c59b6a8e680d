#pragma once
// Helpers shared by the unit and system tests: running programs, polling with a deadline,
// files and folders.

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "TestPaths.h"

namespace testing_support {

// Polls the condition every pollMs until it holds or timeoutMs has passed; returns its last answer.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD pollMs = 20);

struct ProcessResult {
    bool started = false;
    bool finished = false;
    DWORD exitCode = 0;
};

// Runs "\"<program>\" <arguments>" and waits up to timeoutMs for it to end.
ProcessResult RunProgram(const std::wstring& program, const std::wstring& arguments,
                         DWORD timeoutMs = 30000);

// Runs the program as RunProgram does, with its standard output and error each on a pipe: output
// and errors hold what it wrote to each (UTF-8 from the product), carriage returns included.
struct CapturedRun : ProcessResult {
    std::string output;
    std::string errors;
};
// With a token, the program runs as that token says (see LimitedToken).
CapturedRun RunProgramCapturingOutput(const std::wstring& program, const std::wstring& arguments,
                                      DWORD timeoutMs = 30000, HANDLE userToken = nullptr);

// A primary token of this process's user without the administrator's full rights: the token of a
// prompt that is not elevated (the linked token of an elevated one). Null when there is none;
// the caller closes it.
HANDLE LimitedToken();

// The manifest a module carries as its resource 1, empty when it has none.
std::string ManifestOf(const std::wstring& modulePath);

// Starts a program and returns its process information (the caller closes both handles).
PROCESS_INFORMATION StartProgram(const std::wstring& program, const std::wstring& arguments);

// Whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::wstring& path);
// A UTF-16LE file (no byte-order mark) as wide text.
std::wstring ReadUtf16File(const std::wstring& path);

// The names of the files in a directory that match the pattern (for example L"*.log").
std::vector<std::wstring> ListFiles(const std::wstring& directory, const std::wstring& pattern);
// Every "*.log" file of a trace folder as one text, oldest first: a log file is named by the
// minute it was started in.
std::wstring ReadAllLogFiles(const std::wstring& directory);
SYSTEMTIME LocalNow();
// The name of the trace log a program of that name (without ".exe") starts in the minute of the
// local time: "<name>_MMDD_hhmm.log", or "<name>_MMDD_hhmm_<suffix>.log" for a later file of the
// minute.
std::wstring LogFileNameAt(const std::wstring& name, const SYSTEMTIME& time, int suffix = 0);
// How often fragment occurs in text, occurrences not overlapping.
int Occurrences(const std::wstring& text, const std::wstring& fragment);
// The CR LF terminated lines of a log text, without their ends. A last piece without CR LF is
// left out and put into unterminated.
std::vector<std::wstring> LogLines(const std::wstring& content, std::wstring& unterminated);

// What a program printed, line by line, without the line ends (LF or CR LF); a last line without
// one is kept.
std::vector<std::wstring> OutputLinesOf(const std::wstring& output);

// One line fixture_sleeper writes to "<its own path>.started" when it starts.
struct StartRecord {
    DWORD processId = 0;
    DWORD parentId = 0;
    std::wstring path;
};
// Every start a fixture_sleeper copy recorded, in order.
std::vector<StartRecord> StartsOf(const std::wstring& programPath);
// Starts a fixture_sleeper copy and waits until it has recorded this start: its process id, or 0
// when it did not start or record in time.
DWORD StartRecorded(const std::wstring& programPath, DWORD timeoutMs = 10000);
// The first start recorded; all zero while there is none.
StartRecord ReadStartRecord(const std::wstring& programPath);

void RemoveTree(const std::wstring& path);
bool FileExists(const std::wstring& path);
bool CopyInto(const std::wstring& source, const std::wstring& destination);
// Creates or replaces the file with the bytes of text (an empty file without text).
bool WriteTextFile(const std::wstring& path, const std::string& text = std::string());
// Writes a REG_SZ value below HKEY_CURRENT_USER, creating the key when it is missing.
bool SetString(const std::wstring& keyPath, const wchar_t* valueName, const std::wstring& text);

// A fresh, empty folder below C:\QuorbelTests, removed again by the destructor.
class ScratchDir {
public:
    explicit ScratchDir(const std::wstring& name);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// The session picture the stand-in wtsapi32.dll beside the test programs reports while this
// lives (it reads QUORBEL_FAKE_WTS at every call): "none", "disconnected", "one", "several", ...
class FakeSessions {
public:
    explicit FakeSessions(const wchar_t* mode) { SetEnvironmentVariableW(kVariable, mode); }
    ~FakeSessions() { SetEnvironmentVariableW(kVariable, nullptr); }
    FakeSessions(const FakeSessions&) = delete;
    FakeSessions& operator=(const FakeSessions&) = delete;

private:
    static constexpr const wchar_t* kVariable = L"QUORBEL_FAKE_WTS";
};

// Ids of the running processes with exactly this image name.
std::vector<DWORD> ProcessIdsByName(const std::wstring& imageName);
DWORD ParentProcessId(DWORD processId);
bool IsProcessAlive(DWORD processId);
// Whether the process is a 32-bit one on 64-bit Windows; nothing when it cannot be asked.
std::optional<bool> ProcessIsWow64(DWORD processId);
void TerminateById(DWORD processId);
void TerminateAllByName(const std::wstring& imageName);

std::wstring Widened(const std::string& utf8);  // UTF-8 to wide, for messages
std::string Utf8(const std::wstring& wide);      // wide to UTF-8, for assertion messages

}  // namespace testing_support
