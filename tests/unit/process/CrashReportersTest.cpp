// Which process a crash reporter's command line names, and whether the reporter's own command
// line can be read from another process.

#include <gtest/gtest.h>

#include <windows.h>

#include "TestSupport.h"
#include "common/ScopedHandle.h"
#include "process/CrashReporters.h"

using namespace testing_support;

namespace {

TEST(CrashReportersTest, TheCrashedProcessIsTheOneTheReportersOwnOptionNames)
{
    struct Case {
        const wchar_t* image;
        const wchar_t* commandLine;
        DWORD named;
    };
    const Case cases[] = {
        {L"WerFault.exe", L"C:\\Windows\\system32\\WerFault.exe -u -p 4242 -s 1160", 4242},
        {L"WERFAULT.EXE", L"WerFault.exe /p 17 /h", 17},
        {L"WerFaultSecure.exe", L"\"C:\\Windows\\system32\\WerFaultSecure.exe\" -u -p 99 -s 5", 99},
        {L"winedbg.exe", L"winedbg --auto 236 56", 236},
        // Another reporter's option, a missing or no number, a number too large: none.
        {L"winedbg.exe", L"winedbg -p 236", 0},
        {L"WerFault.exe", L"WerFault.exe --auto 236", 0},
        {L"WerFault.exe", L"WerFault.exe -u -p", 0},
        {L"WerFault.exe", L"WerFault.exe -p 12ab", 0},
        {L"WerFault.exe", L"WerFault.exe -p 4294967296", 0},
        {L"notepad.exe", L"notepad.exe -p 4242", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.named, crash_reporters::CrashedProcessNamed(c.image, c.commandLine))
            << Utf8(c.commandLine);
    }
    EXPECT_TRUE(crash_reporters::IsReporterImage(L"werfaultsecure.EXE"));
    EXPECT_FALSE(crash_reporters::IsReporterImage(L"WerFault.exe.bak"));
}

TEST(CrashReportersTest, ACommandLineIsReadFromAnotherProcess)
{
    const PROCESS_INFORMATION started =
        StartProgram(QUORBEL_TESTBIN_DIR L"\\fixture_sleeper.exe", L"-u -p 4242");
    const ScopedHandle process(started.hProcess);
    const ScopedHandle thread(started.hThread);
    ASSERT_TRUE(process.IsValid());
    XStringW commandLine;
    // A process just started may not have its parameters in place yet.
    EXPECT_TRUE(WaitUntil([&] { return crash_reporters::ReadCommandLine(process.Get(), commandLine); },
                          5000));
    EXPECT_NE(std::wstring(commandLine.GetString()).find(L"fixture_sleeper.exe\" -u -p 4242"),
              std::wstring::npos)
        << Utf8(commandLine.GetString());
    TerminateProcess(process.Get(), 0);
}

}  // namespace
