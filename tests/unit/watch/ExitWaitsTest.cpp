// Waits on the processes of watched programs: an end is taken only for the process that was seen.

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>

#include "TestSupport.h"
#include "common/FileTime.h"
#include "watch/ExitWaits.h"

using namespace testing_support;

namespace {

ULONGLONG CreatedAt(HANDLE process)
{
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(process, &created, &exited, &kernel, &user);
    return FileTimeValue(created);
}

// The table says when the process of the id was created; a process that has the id now but was
// created at another time is not the one seen, and its end is not the program's.
TEST(ExitWaitsTest, AnEndIsTakenOnlyForTheProcessCreatedWhenTheTableSaw)
{
    for (const bool sameProcess : {true, false}) {
        SCOPED_TRACE(sameProcess ? "the process seen" : "an id given to another process since");
        std::atomic<int> wakes{0};
        ExitWaits waits([&] { ++wakes; });
        const PROCESS_INFORMATION sleeper =
            StartProgram(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\fixture_sleeper.exe", L"");
        ASSERT_NE(nullptr, sleeper.hProcess);
        const ULONGLONG createdAt = CreatedAt(sleeper.hProcess) + (sameProcess ? 0 : 10000);
        ProcessTable table;
        table.Add(L"Sleeper.exe", sleeper.dwProcessId, createdAt);

        waits.Watch(L"Sleeper.exe", table.FindIds(L"Sleeper.exe"), &table);
        TerminateProcess(sleeper.hProcess, 7);
        WaitForSingleObject(sleeper.hProcess, 5000);
        WaitUntil([&] { return wakes > 0; }, 3000);
        const std::vector<ExitWaits::Exit> exits = waits.TakeExits();

        ASSERT_EQ(sameProcess ? 1u : 0u, exits.size());
        if (sameProcess) {
            EXPECT_EQ(7u, exits.front().exitCode);
        }
        EXPECT_GT(wakes.load(), 0) << "the pass is not woken for the end";
        CloseHandle(sleeper.hThread);
        CloseHandle(sleeper.hProcess);
    }
}

}  // namespace
