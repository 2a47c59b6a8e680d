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
// created at another time is not the one seen, and its end is not the program's, unless it runs
// that program (Wine may tell a process just started by another time than its list did).
TEST(ExitWaitsTest, AnEndIsTakenOnlyForTheProcessCreatedWhenTheTableSawOrOfTheSameProgram)
{
    const struct {
        const char* what;
        ULONGLONG timeOff;
        const wchar_t* name;
        size_t exits;
    } cases[] = {
        {"the process seen", 0, L"Sleeper.exe", 1},
        {"an id given to another program since", 10000, L"Sleeper.exe", 0},
        {"another time, the same program", 10000, L"FIXTURE_sleeper.exe", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::atomic<int> wakes{0};
        ExitWaits waits([&] { ++wakes; });
        const PROCESS_INFORMATION sleeper =
            StartProgram(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\fixture_sleeper.exe", L"");
        ASSERT_NE(nullptr, sleeper.hProcess);
        ProcessTable table;
        table.Add(c.name, sleeper.dwProcessId, CreatedAt(sleeper.hProcess) + c.timeOff);

        waits.Watch(c.name, table.FindIds(c.name), &table);
        TerminateProcess(sleeper.hProcess, 7);
        WaitForSingleObject(sleeper.hProcess, 5000);
        WaitUntil([&] { return wakes > 0; }, 3000);
        const std::vector<ExitWaits::Exit> exits = waits.TakeExits();

        ASSERT_EQ(c.exits, exits.size());
        if (c.exits != 0) {
            EXPECT_EQ(7u, exits.front().exitCode);
        }
        EXPECT_GT(wakes.load(), 0) << "the pass is not woken for the end";
        CloseHandle(sleeper.hThread);
        CloseHandle(sleeper.hProcess);
    }
}

}  // namespace
