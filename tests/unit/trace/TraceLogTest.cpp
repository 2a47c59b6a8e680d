// The trace log's files: line format, file names, rotation by size and age, the log directory and
// the channel's name, and several threads writing at once. Each test drives a manager of its own
// that writes into a scratch folder; the process-wide manager is left to the last tests.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "trace/Trace.h"
#include "trace/TraceManager.h"
#include "paths/ModulePaths.h"

using namespace testing_support;

namespace {

constexpr wchar_t kLinePattern[] = LR"(\((\d\d):(\d\d):(\d\d)\.(\d\d\d)\) )";
constexpr wchar_t kPadding[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

std::wstring Text(const XStringW& text)
{
    return text.GetString();
}

int MillisecondOfDay(const SYSTEMTIME& time)
{
    return ((time.wHour * 60 + time.wMinute) * 60 + time.wSecond) * 1000 + time.wMilliseconds;
}

DWORD FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return INVALID_FILE_SIZE;
    }
    return data.nFileSizeLow;
}

bool MakeFileOfSize(const std::wstring& path, LONGLONG size)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER end{};
    end.QuadPart = size;
    const bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return sized;
}

// Wine keeps a creation time only when the access and write times are set with it.
bool DateFileBack(const std::wstring& path, int minutes)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER past{};
    past.LowPart = now.dwLowDateTime;
    past.HighPart = now.dwHighDateTime;
    past.QuadPart -= static_cast<ULONGLONG>(minutes) * 60 * 10000000;
    FILETIME then{};
    then.dwLowDateTime = past.LowPart;
    then.dwHighDateTime = past.HighPart;
    const bool dated = SetFileTime(file, &then, &then, &then) != FALSE;
    CloseHandle(file);
    return dated;
}

class TraceLogTest : public ::testing::Test {
protected:
    TraceLogTest() : dir(L"unit_trace")
    {
        manager.SetLogDirectory(dir.Path().c_str());
    }

    // Writes one line for the record (name, fileName) and returns the file it went to.
    std::wstring Write(const XStringW& message, bool error = false)
    {
        manager.WriteTraceLine(name, fileName, MakeTracePrefix("Unit::Test", 42), error, message);
        return dir / Text(fileName);
    }

    ScratchDir dir;
    CTraceManager manager;
    XStringW name = L"Unit";
    XStringW fileName;
};

TEST_F(TraceLogTest, LineCarriesTimePrefixAndErrorMark)
{
    struct Case {
        bool error;
        const wchar_t* expectedTail;
    };
    const Case cases[] = {
        {false, L"Unit::Test(42) :  RegOpenKeyEx(GetLastError:2)\r\n"},
        {true, L"Unit::Test(42) :  <ERROR> RegOpenKeyEx(GetLastError:2)\r\n"},
    };
    for (const Case& c : cases) {
        fileName = L"format.log";
        DeleteFileW((dir / L"format.log").c_str());
        const SYSTEMTIME before = LocalNow();
        const std::wstring path = Write(L"RegOpenKeyEx(GetLastError:2)", c.error);
        const SYSTEMTIME after = LocalNow();

        const std::wstring content = ReadUtf16File(path);
        std::wsmatch match;
        const std::wregex linePattern(std::wstring(kLinePattern) + LR"(([\s\S]*))");
        ASSERT_TRUE(std::regex_match(content, match, linePattern))
            << "line: " << Utf8(content);
        EXPECT_EQ(std::wstring(c.expectedTail), match[5].str()) << "error=" << c.error;

        SYSTEMTIME stamped = before;
        stamped.wHour = static_cast<WORD>(std::stoi(match[1].str()));
        stamped.wMinute = static_cast<WORD>(std::stoi(match[2].str()));
        stamped.wSecond = static_cast<WORD>(std::stoi(match[3].str()));
        stamped.wMilliseconds = static_cast<WORD>(std::stoi(match[4].str()));
        if (MillisecondOfDay(before) <= MillisecondOfDay(after)) {  // not across midnight
            EXPECT_LE(MillisecondOfDay(before), MillisecondOfDay(stamped)) << Utf8(content);
            EXPECT_GE(MillisecondOfDay(after), MillisecondOfDay(stamped)) << Utf8(content);
        }
    }
}

TEST_F(TraceLogTest, FileIsUtf16WithoutByteOrderMark)
{
    const std::string bytes = ReadFileBytes(Write(L"first"));
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ('(', bytes[0]) << "first byte " << static_cast<int>(bytes[0] & 0xFF);
    EXPECT_EQ('\0', bytes[1]);
    EXPECT_EQ(0u, bytes.size() % 2) << bytes.size();
}

TEST_F(TraceLogTest, MessageEndsAtItsFirstZeroAndEveryLineEndsWithCrLf)
{
    XStringW withZero;
    const wchar_t zeroInside[] = {L'a', L'b', L'\0', L'c', L'd'};
    withZero.AppendBytes(zeroInside, sizeof(zeroInside));

    struct Case {
        XStringW message;
        const wchar_t* expectedEnd;
    };
    const Case cases[] = {
        {L"plain", L":  plain\r\n"},
        {L"ends with newline\n", L":  ends with newline\n\r\n"},
        {L"ends with crlf\r\n", L":  ends with crlf\r\n\r\n"},
        {withZero, L":  ab\r\n"},
        {L"", L":  \r\n"},
    };
    fileName = L"ends.log";
    std::wstring expected;
    for (const Case& c : cases) {
        const std::wstring before = ReadUtf16File(dir / L"ends.log");
        Write(c.message);
        const std::wstring added = ReadUtf16File(dir / L"ends.log").substr(before.size());
        const std::wstring end = c.expectedEnd;
        ASSERT_GE(added.size(), end.size()) << Utf8(added);
        EXPECT_EQ(end, added.substr(added.size() - end.size())) << "line: " << Utf8(added);
        EXPECT_EQ(L'(', added[0]) << "line: " << Utf8(added);
    }
}

TEST_F(TraceLogTest, FileIsReplacedOnceItHoldsThreeMegabytes)
{
    struct Case {
        LONGLONG size;
        int maxFileSizeMB;
        bool replaced;
    };
    const Case cases[] = {
        {3 * 1024 * 1024 - 1, 3, false},
        {3 * 1024 * 1024, 3, true},
        {5 * 1024 * 1024, -1, false},  // a negative limit turns the size test off
    };
    for (const Case& c : cases) {
        const std::wstring old = dir / L"old.log";
        ASSERT_TRUE(MakeFileOfSize(old, c.size));
        manager.maxFileSizeMB = c.maxFileSizeMB;
        fileName = L"old.log";

        const std::wstring written = Write(L"next");

        if (c.replaced) {
            EXPECT_NE(L"old.log", Text(fileName)) << "size " << c.size;
            EXPECT_EQ(static_cast<DWORD>(c.size), FileSize(old)) << "size " << c.size;
            EXPECT_LT(FileSize(written), 200u) << Utf8(written);
            DeleteFileW(written.c_str());
        } else {
            EXPECT_EQ(L"old.log", Text(fileName)) << "size " << c.size;
            EXPECT_GT(FileSize(old), static_cast<DWORD>(c.size)) << "size " << c.size;
        }
        DeleteFileW(old.c_str());
    }
}

TEST_F(TraceLogTest, FileIsReplacedOnceItIsOlderThanAnHour)
{
    struct Case {
        int minutesOld;
        bool replaced;
    };
    const Case cases[] = {{59, false}, {61, true}};
    for (const Case& c : cases) {
        const std::wstring old = dir / L"aged.log";
        ASSERT_TRUE(MakeFileOfSize(old, 2));
        ASSERT_TRUE(DateFileBack(old, c.minutesOld));
        fileName = L"aged.log";

        const std::wstring written = Write(L"next");

        if (c.replaced) {
            EXPECT_NE(L"aged.log", Text(fileName)) << c.minutesOld << " minutes";
            EXPECT_EQ(2u, FileSize(old)) << c.minutesOld << " minutes";
            DeleteFileW(written.c_str());
        } else {
            EXPECT_EQ(L"aged.log", Text(fileName)) << c.minutesOld << " minutes";
            EXPECT_GT(FileSize(old), 2u) << c.minutesOld << " minutes";
        }
        DeleteFileW(old.c_str());
    }
}

TEST_F(TraceLogTest, LineIsDroppedWhenTheDirectoryCannotBeMade)
{
    CTraceManager nowhere;
    nowhere.SetLogDirectory((dir / L"missing\\Log").c_str());
    XStringW lostFile;
    nowhere.WriteTraceLine(name, lostFile, MakeTracePrefix("Unit::Test", 1), false, L"lost");
    EXPECT_FALSE(FileExists(dir / L"missing"));
}

TEST_F(TraceLogTest, RotationWithinTheMinuteMovesToTheNextNumberBelowTheCap)
{
    constexpr LONGLONG kFull = 3 * 1024 * 1024;
    constexpr LONGLONG kRoom = 10;
    struct Case {
        const wchar_t* current;  // suffix of the record's file; "-" for none yet, "old" for another minute
        std::vector<std::pair<const wchar_t*, LONGLONG>> existing;  // suffix and size
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"-", {{L"", kFull}}, L"_1"},
        {L"", {{L"", kFull}}, L"_1"},
        {L"", {{L"", kFull}, {L"_1", kFull}}, L"_2"},
        {L"", {{L"", kFull}, {L"_1", kRoom}}, L"_1"},
        {L"_1", {{L"", kFull}, {L"_1", kFull}}, L"_2"},
        {L"_9", {{L"_9", kFull}, {L"_10", kFull}, {L"_11", kRoom}}, L"_11"},
        {L"old", {{L"", kRoom}}, L""},
    };
    const std::wregex namePattern(LR"(Unit_\d{4}_\d{4}(_\d+)?\.log)");
    for (const Case& c : cases) {
        // The names below must all be of one minute.
        ASSERT_TRUE(WaitUntil([] { return LocalNow().wSecond < 58; }, 5000, 50));
        const std::wstring minute = LogFileNameAt(L"Unit", LocalNow());
        const auto named = [&minute](const std::wstring& suffix) {
            return minute.substr(0, minute.size() - 4) + suffix + L".log";
        };
        for (const auto& file : c.existing) {
            ASSERT_TRUE(MakeFileOfSize(dir / named(file.first), file.second));
        }
        const std::wstring current = c.current;
        fileName = current == L"-" ? L"" : current == L"old" ? L"Unit_1301_0000_3.log" : named(current).c_str();
        if (current == L"old") {
            ASSERT_TRUE(MakeFileOfSize(dir / Text(fileName), kFull));
        }

        const std::wstring written = Write(L"burst");

        const std::wstring expected = named(c.expected);
        EXPECT_EQ(expected, Text(fileName)) << "current " << Utf8(current);
        EXPECT_TRUE(std::regex_match(Text(fileName), namePattern)) << Utf8(Text(fileName));
        EXPECT_NE(std::wstring::npos, ReadUtf16File(written).find(L":  burst\r\n"));
        for (const auto& file : c.existing) {
            const std::wstring path = dir / named(file.first);
            const DWORD before = static_cast<DWORD>(file.second);
            if (named(file.first) == expected) {
                EXPECT_GT(FileSize(path), before) << Utf8(path);
            } else {
                EXPECT_EQ(before, FileSize(path)) << "a file at the cap grew: " << Utf8(path);
            }
        }
        for (const std::wstring& file : ListFiles(dir.Path(), L"*")) {
            DeleteFileW((dir / file).c_str());
        }
    }
}

TEST_F(TraceLogTest, MissingDirectoryIsMadeWhenAFileCannotBeOpened)
{
    CTraceManager later;
    const std::wstring logDir = dir / L"Log";
    later.SetLogDirectory(logDir.c_str());
    XStringW laterFile;
    for (const wchar_t* message : {L"first", L"after removal"}) {
        // Someone may remove the directory while the process runs.
        RemoveTree(logDir);
        ASSERT_FALSE(FileExists(logDir));
        later.WriteTraceLine(name, laterFile, MakeTracePrefix("Unit::Test", 1), false, message);
        const std::wstring content = ReadUtf16File(logDir + L"\\" + Text(laterFile));
        EXPECT_NE(std::wstring::npos, content.find(message)) << Utf8(content);
    }
}

TEST(TracePrefix, NamesFunctionAndLine)
{
    EXPECT_EQ(std::wstring(L"main(112) : "), Text(MakeTracePrefix("main", 112)));
    EXPECT_EQ(std::wstring(L"CRegHelper::GetValue(-1) : "),
              Text(MakeTracePrefix("CRegHelper::GetValue", -1)));
    EXPECT_EQ(std::wstring(L"(7) : "), Text(MakeTracePrefix("", 7)));
}

TEST(TraceChannel, NameDropsOnlyAnExactLowerCaseExeExtension)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"QuorbelService.exe", L"QuorbelService"},
        {L"X.EXE", L"X.EXE"},
        {L"tool.Exe", L"tool.Exe"},
        {L"tool", L"tool"},
        {L"a.exe.exe", L"a.exe"},
        {L"exe", L"exe"},
    };
    for (const auto& c : cases) {
        CTraceManager manager;
        manager.RegisterChannel(1, c.first, L"C:\\QuorbelTests\\unused");
        ASSERT_EQ(1u, manager.channels.count(TRACE_CHANNEL));
        EXPECT_EQ(std::wstring(c.second), Text(manager.channels.at(TRACE_CHANNEL)->name))
            << "exe " << Utf8(c.first);
        EXPECT_EQ(1, manager.levels.at(TRACE_CHANNEL));
        EXPECT_TRUE(manager.IsChannelOn());
    }
}

TEST(TraceChannel, RegistrationHappensOnceAndLevelZeroStaysSilent)
{
    CTraceManager manager;
    EXPECT_FALSE(manager.IsChannelOn());
    manager.RegisterChannel(0, L"first.exe", L"C:\\QuorbelTests\\first");
    manager.RegisterChannel(1, L"second.exe", L"C:\\QuorbelTests\\second");
    EXPECT_FALSE(manager.IsChannelOn());
    EXPECT_EQ(std::wstring(L"first"), Text(manager.channels.at(TRACE_CHANNEL)->name));
    EXPECT_EQ(std::wstring(L"C:\\QuorbelTests\\first"), Text(manager.logDirectory));
}

TEST(TraceDirectory, AbsoluteIsKeptRelativeJoinsTheExecutableDirectory)
{
    const std::wstring moduleDir = Text(GetModuleDirectory());
    const std::pair<const wchar_t*, std::wstring> cases[] = {
        {L"D:\\Logs", L"D:\\Logs"},
        {L"D:\\Logs\\", L"D:\\Logs\\"},
        {L"C:\\a\\b", L"C:\\a\\b"},
        {L"", moduleDir + L"\\Log"},
        {L"Sub", moduleDir + L"\\Sub"},
        {L"Sub\\", moduleDir + L"\\Sub"},
        {L"Sub\\\\", moduleDir + L"\\Sub\\"},
        {L"a\\b\\", moduleDir + L"\\a\\b"},
    };
    for (const auto& c : cases) {
        CTraceManager manager;
        manager.SetLogDirectory(c.first);
        EXPECT_EQ(c.second, Text(manager.logDirectory)) << "argument " << Utf8(c.first);
    }
}

TEST(TraceDirectory, IsFixedByTheFirstCall)
{
    CTraceManager manager;
    manager.SetLogDirectory(L"D:\\First");
    manager.SetLogDirectory(L"D:\\Second");
    manager.SetLogDirectory(L"");
    manager.RegisterChannel(1, L"x.exe", L"D:\\Third");
    EXPECT_EQ(std::wstring(L"D:\\First"), Text(manager.logDirectory));
}

TEST(TraceConcurrency, ThreadsRotatingOneChannelKeepEveryLineWhole)
{
    ScratchDir dir(L"unit_trace_threads");
    CTraceManager manager;
    manager.RegisterChannel(1, L"threads.exe", dir.Path().c_str());
    // Every line rotates, so every line renames the channel's file while the others write.
    manager.maxFileSizeMB = 0;

    constexpr int kThreads = 4;
    constexpr int kLines = 150;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&manager, t] {
            const XStringW prefix = MakeTracePrefix("Writer", t);
            for (int i = 0; i < kLines; ++i) {
                XStringW message;
                message.Format(L"thread %d line %d %s", t, i, kPadding);
                manager.WriteChannelLine(prefix, (i % 2) != 0, message);
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }

    const std::wregex linePattern(
        std::wstring(kLinePattern) +
        LR"(Writer\((\d)\) :  (<ERROR> )?thread (\d) line (\d+) )" + kPadding);
    std::map<int, std::vector<int>> linesByThread;
    int total = 0;
    for (const std::wstring& file : ListFiles(dir.Path(), L"threads_*.log")) {
        const std::wstring content = ReadUtf16File(dir / file);
        size_t start = 0;
        while (start < content.size()) {
            const size_t end = content.find(L"\r\n", start);
            ASSERT_NE(std::wstring::npos, end) << "unterminated: " << Utf8(content.substr(start));
            const std::wstring line = content.substr(start, end - start);
            std::wsmatch match;
            ASSERT_TRUE(std::regex_match(line, match, linePattern)) << "broken: " << Utf8(line);
            EXPECT_EQ(match[5].str(), match[7].str()) << Utf8(line);
            linesByThread[std::stoi(match[7].str())].push_back(std::stoi(match[8].str()));
            ++total;
            start = end + 2;
        }
    }
    EXPECT_EQ(kThreads * kLines, total);
    for (int t = 0; t < kThreads; ++t) {
        std::vector<int> expected(kLines);
        for (int i = 0; i < kLines; ++i) {
            expected[i] = i;
        }
        std::vector<int> seen = linesByThread[t];
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(expected, seen) << "thread " << t;
    }
}

// Two managers of one log directory stand for two processes: only the mutex named after the
// directory keeps Wine's appends (a seek to the end, then a write) from overwriting lines. A third
// one, another program, starts a file of its own past the folder's bound while both keep their
// file open: retention removes an old file that nobody writes, never the file they write to.
TEST(TraceConcurrency, ManagersSharingADirectoryLoseNoLine)
{
    ScratchDir dir(L"unit_trace_shared");
    const std::wstring oldFile = dir / L"older_0101_0000.log";
    ASSERT_TRUE(MakeFileOfSize(oldFile, 1024));
    ASSERT_TRUE(DateFileBack(oldFile, 600));
    constexpr int kWriters = 2;
    constexpr int kLines = 600;
    {
        CTraceManager managers[kWriters];
        for (CTraceManager& manager : managers) {
            manager.RegisterChannel(1, L"shared.exe", dir.Path().c_str());
        }
        std::vector<std::thread> writers;
        for (int w = 0; w < kWriters; ++w) {
            writers.emplace_back([&managers, w] {
                const XStringW prefix = MakeTracePrefix("Writer", w);
                for (int i = 0; i < kLines; ++i) {
                    XStringW message;
                    message.Format(L"writer %d line %d %s", w, i, kPadding);
                    managers[w].WriteChannelLine(prefix, false, message);
                }
            });
        }
        for (std::thread& writer : writers) {
            writer.join();
        }

        CTraceManager other;
        other.RegisterChannel(1, L"other.exe", dir.Path().c_str());
        other.maxFolderBytes = 1;
        other.WriteChannelLine(MakeTracePrefix("Other", 1), false, L"a new file");
        EXPECT_FALSE(FileExists(oldFile)) << "retention left the old file";
        std::wstring said;
        for (const std::wstring& file : ListFiles(dir.Path(), L"other_*.log")) {
            said += ReadUtf16File(dir / file);
        }
        // A file being written is kept, not a failure.
        EXPECT_NE(std::wstring::npos, said.find(L"removed 1 old trace files")) << Utf8(said);
        EXPECT_EQ(std::wstring::npos, said.find(L"<ERROR>")) << Utf8(said);
        // The writers' files are let go only here, when they are gone for good if removed.
        for (int w = 0; w < kWriters; ++w) {
            XStringW message;
            message.Format(L"writer %d line %d %s", w, kLines, kPadding);
            managers[w].WriteChannelLine(MakeTracePrefix("Writer", w), false, message);
        }
    }

    const std::wregex linePattern(std::wstring(kLinePattern) +
                                  LR"(Writer\(\d\) :  writer (\d) line (\d+) )" + kPadding);
    std::map<int, int> linesByWriter;
    for (const std::wstring& file : ListFiles(dir.Path(), L"shared_*.log")) {
        std::wstring unterminated;
        for (const std::wstring& line : LogLines(ReadUtf16File(dir / file), unterminated)) {
            std::wsmatch match;
            ASSERT_TRUE(std::regex_match(line, match, linePattern)) << "broken: " << Utf8(line);
            ++linesByWriter[std::stoi(match[5].str())];
        }
        EXPECT_TRUE(unterminated.empty()) << "unterminated: " << Utf8(unterminated);
    }
    for (int w = 0; w < kWriters; ++w) {
        EXPECT_EQ(kLines + 1, linesByWriter[w]) << "writer " << w;
    }
}

// A process that holds the directory's mutex and never lets go costs one line a second, no more.
TEST(TraceConcurrency, AMutexHeldElsewhereSlowsNoLineAfterTheFirst)
{
    ScratchDir dir(L"unit_trace_held");
    const HANDLE held = CreateMutexW(nullptr, TRUE, AppendMutexName(dir.Path().c_str()).GetString());
    ASSERT_NE(nullptr, held);
    std::thread writer([&dir] {
        CTraceManager manager;
        manager.RegisterChannel(1, L"held.exe", dir.Path().c_str());
        for (int i = 0; i < 4; ++i) {
            manager.WriteChannelLine(MakeTracePrefix("Writer", 1), false, L"line");
        }
    });
    const ULONGLONG from = GetTickCount64();
    writer.join();
    const ULONGLONG tookMs = GetTickCount64() - from;
    CloseHandle(held);
    EXPECT_LT(tookMs, 1900u) << "four lines took " << tookMs << " ms";
}

// The process-wide trace: this test program has no "trace.txt" beside it.
TEST(TraceProcess, WithoutSwitchFileOnlyFatalLinesAreWritten)
{
    const std::wstring moduleDir = Text(GetModuleDirectory());
    const std::wstring logDir = moduleDir + L"\\Log";
    ASSERT_FALSE(FileExists(moduleDir + L"\\trace.txt")) << "trace.txt in " << Utf8(moduleDir);
    const bool logDirExisted = FileExists(logDir);

    InitTrace();
    EXPECT_FALSE(IsTraceOn());
    TraceLog("Unit::Silent", __LINE__, L"not written %d", 1);
    TraceError("Unit::Silent", __LINE__, L"not written %d", 2);
    EXPECT_EQ(logDirExisted, FileExists(logDir));

    const SYSTEMTIME before = LocalNow();
    TraceFatal("Unit::Fatal", 77, L"fatal marker %d", static_cast<int>(GetCurrentProcessId()));
    const SYSTEMTIME after = LocalNow();

    std::wstring expected = L"Unit::Fatal(77) :  <ERROR> fatal marker ";
    expected += std::to_wstring(GetCurrentProcessId()) + L"\r\n";
    std::wstring found;
    for (const SYSTEMTIME& time : {before, after}) {
        const std::wstring path = logDir + L"\\" + LogFileNameAt(L"fatal", time);
        const std::wstring content = ReadUtf16File(path);
        if (content.find(expected) != std::wstring::npos) {
            found = path;
        }
    }
    EXPECT_FALSE(found.empty()) << "no fatal_MMDD_hhmm.log with: " << Utf8(expected);

    if (!logDirExisted) {
        RemoveTree(logDir);
    } else if (!found.empty()) {
        DeleteFileW(found.c_str());
    }
}

}  // namespace
