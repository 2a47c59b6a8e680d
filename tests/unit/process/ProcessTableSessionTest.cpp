// The process table by session. Wine runs every process in one session, so the test moves one
// process into another session through the table's session seam.

#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "process/ProcessTable.h"
#include "process/Sessions.h"

using namespace testing_support;

namespace {

constexpr DWORD kOtherSession = 7;
DWORD movedProcessId = 0;

DWORD MoveOneProcess(DWORD processId, DWORD reportedSessionId)
{
    return processId == movedProcessId ? kOtherSession : reportedSessionId;
}

TEST(ProcessTableSessions, CountsOnlyTheProcessesOfTheSessionItWasTakenFor)
{
    ScratchDir folder(L"process_table_sessions");
    const std::wstring program = folder / L"SessionTwin.exe";
    ASSERT_TRUE(CopyInto(QUORBEL_TESTBIN_DIR L"\\fixture_sleeper.exe", program));
    const PROCESS_INFORMATION info = StartProgram(program, L"");
    ASSERT_NE(nullptr, info.hProcess);
    const XStringW name(L"sessiontwin.exe");
    ASSERT_TRUE(WaitUntil([&] { return ProcessTable::Take().IsRunning(name); }, 10000));
    DWORD ownSession = 0;
    ASSERT_TRUE(FindOwnSessionId(ownSession));
    // The stand-in terminal services report Wine's one session as the active one.
    ASSERT_EQ(ownSession, FindActiveSessionId());

    EXPECT_FALSE(ProcessTable().IsTaken()) << "a table nobody took";
    EXPECT_TRUE(ProcessTable::Take(ownSession).IsTaken());
    EXPECT_TRUE(ProcessTable::Take(ownSession).IsRunning(name));
    EXPECT_TRUE(ProcessTable::TakeForActiveSession().IsRunning(name));

    movedProcessId = info.dwProcessId;
    ProcessTable::sessionOf = &MoveOneProcess;
    const ProcessTable own = ProcessTable::Take(ownSession);
    const ProcessTable active = ProcessTable::TakeForActiveSession();
    const ProcessTable listed = ProcessTable::TakeForOwnSession();
    const ProcessTable other = ProcessTable::Take(kOtherSession);
    const ProcessTable every = ProcessTable::Take();
    ProcessTable::sessionOf = nullptr;

    EXPECT_FALSE(own.IsRunning(name)) << "another session's copy counted";
    EXPECT_FALSE(active.IsRunning(name)) << "another session's copy counted for the active one";
    EXPECT_FALSE(listed.IsRunning(name)) << "another session's copy counted for this one";
    ASSERT_TRUE(other.IsRunning(name));
    EXPECT_EQ(std::to_wstring(info.dwProcessId), other.FindIds(name).GetCopyAt(0).GetString());
    EXPECT_TRUE(every.IsRunning(name));

    TerminateProcess(info.hProcess, 0);
    WaitForSingleObject(info.hProcess, 10000);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

}  // namespace
