// The launch of a program in the logged-on user's session, through the stand-in terminal-services
// DLL: its mode decides which sessions exist and what token the user has; the error lines are
// read from the trace. The logon is opened for the active session as a pass finds it.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "TraceCapture.h"
#include "common/ScopedHandle.h"
#include "process/Sessions.h"
#include "service/CWindowService.h"
#include "service/UserLogon.h"

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
    // Opens the logon of the active session, launches with it and returns the result; the trace
    // written meanwhile lands in lastTrace.
    DWORD Launch(const std::wstring& path)
    {
        const TraceCapture trace;
        consolesBefore = ProcessIdsByName(L"cmd.exe");
        logon.Open(FindActiveSessionId());
        const DWORD consoleId = CWindowService::RunAdminProcessByLogonSession(
            logon, path.c_str(), XStringW(), XStringW(), nullptr);
        lastTrace = trace.Text();
        return consoleId;
    }

    std::vector<DWORD> NewConsoles() const
    {
        return NewIds(consolesBefore, ProcessIdsByName(L"cmd.exe"));
    }

    UserLogon logon;
    std::vector<DWORD> consolesBefore;
    std::wstring lastTrace;
};

struct FailureCase {
    const wchar_t* mode;
    const wchar_t* errorLine;
    bool failedLaunch;  // the token was used and failed: the logon is to be taken afresh
};

TEST_F(LauncherTest, EachFailureWritesItsOneErrorLineAndStartsNothing)
{
    // The program's folder is there, so that the start gets as far as the token allows.
    const ScratchDir programFolder(L"Tools");
    const FailureCase cases[] = {
        {L"none", L"<ERROR> no one logged in", false},
        {L"disconnected", L"<ERROR> no one logged in", false},
        {L"zero", L"<ERROR> no one logged in", false},
        {L"notoken", L"<ERROR> fail WTSQueryUserToken", false},
        {L"badtoken", L"<ERROR> fail CreateEnvironmentBlock", false},
        // A token that may only be queried: Wine refuses the process creation with access denied.
        {L"weaktoken", L"<ERROR> fail CreateProcessAsUser ret : 0, gle : 5", true},
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
        // A logon that could not be opened says why once, and the launch says it had none.
        EXPECT_EQ(c.failedLaunch ? 2 : 3, std::count(lastTrace.begin(), lastTrace.end(), L'\n'))
            << Utf8(lastTrace);
        EXPECT_EQ(c.failedLaunch, logon.HasFailedLaunch());
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

    UserLogon logon;
    ASSERT_TRUE(logon.Open(FindActiveSessionId()));
    ScopedHandle console;
    const DWORD consoleId = CWindowService::RunAdminProcessByLogonSession(
        logon, program.c_str(), L"one \"t w o\"", elsewhere.c_str(), &console);

    ASSERT_NE(0u, consoleId);
    ASSERT_TRUE(console.IsValid());
    EXPECT_EQ(consoleId, GetProcessId(console.Get()));
    ASSERT_TRUE(WaitUntil([&] { return !ReadFileBytes(program + L".argv").empty(); }, 10000));
    EXPECT_EQ(Utf8(elsewhere) + "\none\nt w o\n", ReadFileBytes(program + L".argv"));

    TerminateAllByName(L"probe.exe");
    TerminateById(consoleId);
}

// The session and token are the caller's: a launch after the active session went (a switch of
// user, a logoff) still starts in the session the logon was opened for, and asks nothing again.
TEST_F(LauncherTest, StartsWithTheLogonItIsGivenWithoutAskingForTheSessionAgain)
{
    ScratchDir folder(L"launcher_logon");
    const std::wstring program = folder / L"kept.exe";
    ASSERT_TRUE(CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\fixture_sleeper.exe", program));
    {
        FakeSessions sessions(L"one");
        ASSERT_TRUE(logon.Open(FindActiveSessionId()));
    }
    EXPECT_EQ(1u, logon.SessionId());
    EXPECT_FALSE(logon.UserSid().IsEmpty());

    DWORD consoleId = 0;
    {
        FakeSessions nobody(L"none");
        const TraceCapture trace;
        consoleId = CWindowService::RunAdminProcessByLogonSession(logon, program.c_str(),
                                                                 XStringW(), XStringW(), nullptr);
        lastTrace = trace.Text();
    }

    ASSERT_NE(0u, consoleId) << Utf8(lastTrace);
    EXPECT_TRUE(WaitUntil([&] { return ReadStartRecord(program).processId != 0; }, 10000));
    TerminateAllByName(L"kept.exe");
    TerminateById(consoleId);
}

}  // namespace
