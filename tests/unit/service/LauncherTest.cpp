// The launch of a program in the logged-on user's session, through the stand-in terminal-services
// DLL: its mode decides which sessions exist and what token the user has; the error lines are
// read from the trace.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "TraceCapture.h"
#include "common/ScopedHandle.h"
#include "service/CWindowService.h"

using namespace testing_support;

namespace {

std::vector<DWORD> NewIds(const std::vector<DWORD>& before, const std::vector<DWORD>& after)
{
    std::vector<DWORD> added;
    for (DWORD id : after) {
        if (std::find(before.begin(), before.end(), id) == before.end()) {
            added.push_back(id);
        }
    }
    return added;
}

class LauncherTest : public ::testing::Test {
protected:
    // Launches and returns the result; the trace written meanwhile lands in lastTrace.
    DWORD Launch(const std::wstring& path)
    {
        const TraceCapture trace;
        consolesBefore = ProcessIdsByName(L"cmd.exe");
        const DWORD consoleId = CWindowService::RunAdminProcessByLogonSession(path.c_str());
        lastTrace = trace.Text();
        return consoleId;
    }

    std::vector<DWORD> NewConsoles() const
    {
        return NewIds(consolesBefore, ProcessIdsByName(L"cmd.exe"));
    }

    std::vector<DWORD> consolesBefore;
    std::wstring lastTrace;
};

struct FailureCase {
    const wchar_t* mode;
    const wchar_t* errorLine;
};

TEST_F(LauncherTest, EachFailureWritesItsOneErrorLineAndStartsNothing)
{
    // The program's folder is there, so that the start gets as far as the token allows.
    const ScratchDir programFolder(L"Tools");
    const FailureCase cases[] = {
        {L"none", L"<ERROR> no one logged in"},
        {L"disconnected", L"<ERROR> no one logged in"},
        {L"zero", L"<ERROR> no one logged in"},
        {L"notoken", L"<ERROR> fail WTSQueryUserToken"},
        {L"badtoken", L"<ERROR> fail CreateEnvironmentBlock"},
        // A token that may only be queried: Wine refuses the process creation with access denied.
        {L"weaktoken", L"<ERROR> fail CreateProcessAsUser ret : 0, gle : 5"},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(Utf8(c.mode));
        FakeSessions sessions(c.mode);

        EXPECT_EQ(0u, Launch(L"C:\\QuorbelTests\\Tools\\app.exe"));

        EXPECT_NE(std::wstring::npos,
                  lastTrace.find(L"CWindowService::RunAdminProcessByLogonSession")) << Utf8(lastTrace);
        EXPECT_NE(std::wstring::npos, lastTrace.find(L"+ C:\\QuorbelTests\\Tools\\app.exe"))
            << Utf8(lastTrace);
        EXPECT_NE(std::wstring::npos, lastTrace.find(c.errorLine)) << Utf8(lastTrace);
        EXPECT_EQ(2, std::count(lastTrace.begin(), lastTrace.end(), L'\n'))
            << "the entry line and one error line: " << Utf8(lastTrace);
        EXPECT_TRUE(NewConsoles().empty());
    }
}

TEST_F(LauncherTest, PathWithBlanksReachesTheProgramInOnePieceThroughItsOwnConsole)
{
    for (const wchar_t* mode : {L"one", L"several"}) {
        SCOPED_TRACE(Utf8(mode));
        FakeSessions sessions(mode);
        ScratchDir folder(L"My Tools");
        const std::wstring program = folder / L"watched app.exe";
        ASSERT_TRUE(CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\fixture_sleeper.exe", program));

        const DWORD consoleId = Launch(program);

        ASSERT_NE(0u, consoleId) << Utf8(lastTrace);
        EXPECT_EQ(std::vector<DWORD>{consoleId}, NewConsoles()) << "the result is cmd.exe's id";
        ASSERT_TRUE(WaitUntil([&] { return ReadStartRecord(program).processId != 0; }, 10000));
        const StartRecord started = ReadStartRecord(program);
        EXPECT_EQ(program, started.path);
        EXPECT_EQ(consoleId, started.parentId) << "the program is the console's child";
        EXPECT_EQ(std::wstring::npos, lastTrace.find(L"<ERROR>")) << Utf8(lastTrace);

        TerminateById(started.processId);
        TerminateById(consoleId);
    }
}

TEST_F(LauncherTest, PathWithADoubleQuoteIsRefusedBeforeAnythingStarts)
{
    // Without the refusal cmd.exe would run "calc" as a command of its own.
    const std::wstring path = L"C:\\QuorbelTests\\a\" & calc & \"b.exe";

    EXPECT_EQ(0u, Launch(path));

    EXPECT_NE(std::wstring::npos, lastTrace.find(L"<ERROR> refuse path with quote : " + path))
        << Utf8(lastTrace);
    EXPECT_TRUE(NewConsoles().empty());
}

TEST_F(LauncherTest, TheConsolesHandleIsHandedOutAndTheProgramStartsInTheGivenDirectory)
{
    FakeSessions sessions(L"one");
    ScratchDir folder(L"launcher_directory");
    const std::wstring program = folder / L"probe.exe";
    ASSERT_TRUE(CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\fixture_argv.exe", program));
    const std::wstring elsewhere = folder / L"work";
    CreateDirectoryW(elsewhere.c_str(), nullptr);

    ScopedHandle console;
    const DWORD consoleId = CWindowService::RunAdminProcessByLogonSession(
        program.c_str(), L"one \"t w o\"", elsewhere.c_str(), &console);

    ASSERT_NE(0u, consoleId);
    ASSERT_TRUE(console.IsValid());
    EXPECT_EQ(consoleId, GetProcessId(console.Get()));
    ASSERT_TRUE(WaitUntil([&] { return !ReadFileBytes(program + L".argv").empty(); }, 10000));
    EXPECT_EQ(Utf8(elsewhere) + "\none\nt w o\n", ReadFileBytes(program + L".argv"));

    TerminateAllByName(L"probe.exe");
    TerminateById(consoleId);
}

}  // namespace
