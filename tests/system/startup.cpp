// Start-up of the real executable: the trace switch file, the minute log file and its first
// line, the single-instance guard, and two processes appending to one log file.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace testing_support;

namespace {

constexpr wchar_t kExeName[] = L"QuorbelService.exe";
constexpr wchar_t kTimeStamp[] = LR"(\(\d\d:\d\d:\d\d\.\d\d\d\) )";
constexpr wchar_t kRunLine[] = LR"(main\(\d+\) :  Run QuorbelService\r\n)";
constexpr wchar_t kPadding[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
// Four arguments match no command form: the process only starts up and ends with the usage
// error.
constexpr wchar_t kNoCommand[] = L"one two three four";
constexpr DWORD kExitUsage = 2;

std::wstring Joined(const std::vector<std::wstring>& names)
{
    std::wstring all;
    for (const std::wstring& name : names) {
        all += name + L" ";
    }
    return all;
}

// A copy of the executable in a folder of its own, with or without the trace switch file.
class StartupTest : public ::testing::Test {
protected:
    StartupTest() : dir(L"system_startup") {}

    void Install(bool withSwitchFile)
    {
        ASSERT_TRUE(CopyInto(std::wstring(QUORBEL_DIST_DIR) + L"\\" + kExeName, dir / kExeName));
        if (withSwitchFile) {
            ASSERT_TRUE(WriteTextFile(dir / L"trace.txt"));
        }
    }

    ProcessResult Run(const std::wstring& arguments)
    {
        return RunProgram(dir / kExeName, arguments);
    }

    // The single log file the run produced, which must be named after one of the two minutes.
    std::wstring OnlyLogText(const SYSTEMTIME& before, const SYSTEMTIME& after)
    {
        const std::vector<std::wstring> logs = ListFiles(dir / L"Log", L"*");
        EXPECT_EQ(1u, logs.size()) << "log files: " << Utf8(Joined(logs));
        if (logs.size() != 1) {
            return {};
        }
        EXPECT_TRUE(logs[0] == LogFileNameAt(L"QuorbelService", before) ||
                    logs[0] == LogFileNameAt(L"QuorbelService", after))
            << Utf8(logs[0]);
        return ReadUtf16File(dir / L"Log\\" + logs[0]);
    }

    ScratchDir dir;
};

TEST_F(StartupTest, WithSwitchFileTheFirstLineGoesToTheMinuteLog)
{
    Install(true);
    const SYSTEMTIME before = LocalNow();
    const ProcessResult result = Run(kNoCommand);
    const SYSTEMTIME after = LocalNow();

    ASSERT_TRUE(result.started) << "CreateProcessW of the administrator-manifest executable failed";
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(kExitUsage, result.exitCode);

    const std::wstring log = OnlyLogText(before, after);
    const std::wregex expected(std::wstring(kTimeStamp) + kRunLine);
    EXPECT_TRUE(std::regex_match(log, expected)) << "log: " << Utf8(log);
}

TEST_F(StartupTest, WithoutSwitchFileNothingIsWritten)
{
    Install(false);
    const ProcessResult result = Run(kNoCommand);

    ASSERT_TRUE(result.finished);
    EXPECT_EQ(kExitUsage, result.exitCode);
    EXPECT_FALSE(FileExists(dir / L"Log"));
    EXPECT_EQ(std::vector<std::wstring>{kExeName}, ListFiles(dir.Path(), L"*"));
}

// A second instance of the tool is turned away (the command test runs one beside the service);
// an event of the tool's name held by a process that is no instance of it guards nothing.
TEST_F(StartupTest, AnEventHeldByAProcessThatIsNotTheToolGuardsNothing)
{
    const wchar_t* const probeKey = L"Software\\QUORBEL\\QuorbelService\\trace_duplicate_probe.exe";
    RegDeleteKeyW(HKEY_CURRENT_USER, probeKey);
    Install(true);
    const std::wstring add = L"add " + (dir / L"trace_duplicate_probe.exe");

    // This test is no instance of the executable: an event of that name that it holds is no
    // guard, and the command goes on.
    HANDLE held = CreateEventW(nullptr, FALSE, TRUE, L"QuorbelService");
    ASSERT_NE(nullptr, held);
    const SYSTEMTIME before = LocalNow();
    const CapturedRun past = RunProgramCapturingOutput(dir / kExeName, add);
    const SYSTEMTIME after = LocalNow();
    CloseHandle(held);
    EXPECT_NE(std::wstring::npos,
              OnlyLogText(before, after).find(L"<ERROR> QuorbelService is held by a process that "
                                              L"is not QuorbelService"));
    EXPECT_EQ(0u, past.exitCode) << past.errors;
    EXPECT_EQ(0u, past.errors.find("warning: the event QuorbelService that keeps two of these "
                                   "tools apart is held by a process that is not QuorbelService"))
        << past.errors;
    HKEY probe = nullptr;
    const LONG opened = RegOpenKeyExW(HKEY_CURRENT_USER, probeKey, 0, KEY_READ, &probe);
    EXPECT_EQ(ERROR_SUCCESS, opened);
    if (opened == ERROR_SUCCESS) {
        RegCloseKey(probe);
    }
    RegDeleteKeyW(HKEY_CURRENT_USER, probeKey);
}

// Two processes of one executable whose first lines fall in the same minute share one file, and
// their lines interleave whole.
TEST_F(StartupTest, TwoProcessesAppendWholeLinesToOneFile)
{
    const std::wstring writer = dir / L"trace_writer.exe";
    ASSERT_TRUE(CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\trace_writer.exe", writer));
    ASSERT_TRUE(WriteTextFile(dir / L"trace.txt"));

    // Both writers must finish within the minute they start in.
    ASSERT_TRUE(WaitUntil([] { return LocalNow().wSecond < 52; }, 20000, 100));

    HANDLE ready = CreateSemaphoreW(nullptr, 0, 2, L"QuorbelTests_TraceWriterReady");
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, L"QuorbelTests_TraceWriterGo");
    ASSERT_NE(nullptr, ready);
    ASSERT_NE(nullptr, go);
    constexpr int kLines = 400;
    const std::wstring count = std::to_wstring(kLines);
    PROCESS_INFORMATION first = StartProgram(writer, L"1 " + count);
    PROCESS_INFORMATION second = StartProgram(writer, L"2 " + count);
    // Both are up and waiting: let them go together.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, 30000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, 30000));
    SetEvent(go);
    DWORD exitCodes[2] = {99, 99};
    for (PROCESS_INFORMATION* info : {&first, &second}) {
        ASSERT_NE(nullptr, info->hProcess);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(info->hProcess, 60000));
        GetExitCodeProcess(info->hProcess, &exitCodes[info == &first ? 0 : 1]);
        CloseHandle(info->hThread);
        CloseHandle(info->hProcess);
    }
    CloseHandle(go);
    CloseHandle(ready);
    EXPECT_EQ(0u, exitCodes[0]);
    EXPECT_EQ(0u, exitCodes[1]);

    const std::vector<std::wstring> logs = ListFiles(dir / L"Log", L"*");
    ASSERT_EQ(1u, logs.size()) << "log files: " << Utf8(Joined(logs));
    const std::wstring content = ReadUtf16File(dir / L"Log\\" + logs[0]);

    const std::wregex linePattern(
        std::wstring(kTimeStamp) +
        LR"(trace_writer\(\d+\) :  writer (\d) line (\d+) )" + kPadding);
    std::map<int, std::vector<int>> linesByWriter;
    int writerChanges = 0;
    int previousWriter = 0;
    std::wstring unterminated;
    for (const std::wstring& line : LogLines(content, unterminated)) {
        std::wsmatch match;
        ASSERT_TRUE(std::regex_match(line, match, linePattern)) << "broken: " << Utf8(line);
        const int writerNumber = std::stoi(match[1].str());
        linesByWriter[writerNumber].push_back(std::stoi(match[2].str()));
        writerChanges += (previousWriter != 0 && previousWriter != writerNumber) ? 1 : 0;
        previousWriter = writerNumber;
    }
    EXPECT_TRUE(unterminated.empty()) << "unterminated: " << Utf8(unterminated);
    std::vector<int> expected(kLines);
    for (int i = 0; i < kLines; ++i) {
        expected[i] = i;
    }
    EXPECT_EQ(expected, linesByWriter[1]) << "writer 1's lines, in order";
    EXPECT_EQ(expected, linesByWriter[2]) << "writer 2's lines, in order";
    RecordProperty("WriterChanges", writerChanges);
}

}  // namespace
