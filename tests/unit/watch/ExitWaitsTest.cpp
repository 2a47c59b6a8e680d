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

// Wine's process list and GetProcessTimes report this filler for a process still starting up.
constexpr ULONGLONG kWineNoTimeYet = 0x5555555555555555ULL;

// The table says when the process of the id was created; a process that has the id now but was
// created at another time is not the one seen, and its end is not the program's, even when it
// runs the same program. Only where the list gave no time is a process of the program taken.
TEST(ExitWaitsTest, AnEndIsTakenOnlyForTheProcessCreatedWhenTheTableSaw)
{
    const struct {
        const char* what;
        ULONGLONG timeOff;
        bool noTime;
        const wchar_t* name;
        size_t exits;
    } cases[] = {
        {"the process seen", 0, false, L"Sleeper.exe", 1},
        {"an id given to another program since", 10000, false, L"Sleeper.exe", 0},
        {"another time, the same program", 10000, false, L"FIXTURE_sleeper.exe", 0},
        {"no time in the list, the same program", 0, true, L"FIXTURE_sleeper.exe", 1},
        {"no time in the list, another program", 0, true, L"Sleeper.exe", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::atomic<int> wakes{0};
        ExitWaits waits([&] { ++wakes; });
        const PROCESS_INFORMATION sleeper =
            StartProgram(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\fixture_sleeper.exe", L"");
        ASSERT_NE(nullptr, sleeper.hProcess);
        // The cases with a time need the process's own: Wine has none for a few milliseconds. A
        // time that differs is an earlier one, as when the id named a process that ended since;
        // a later one could lie ahead of the clock, and so count as no time at all.
        ASSERT_TRUE(WaitUntil([&] { return CreatedAt(sleeper.hProcess) != kWineNoTimeYet; }, 3000));
        ProcessTable table;
        table.Add(c.name, sleeper.dwProcessId,
                  c.noTime ? kWineNoTimeYet : CreatedAt(sleeper.hProcess) - c.timeOff);

        waits.Watch(c.name, table.FindIds(c.name), &table);
        TerminateProcess(sleeper.hProcess, 7);
        WaitForSingleObject(sleeper.hProcess, 5000);
        WaitUntil([&] { return wakes > 0; }, 3000);
        const std::vector<ExitWaits::Exit> exits = waits.TakeExits();

        ASSERT_EQ(c.exits, exits.size());
        if (c.exits != 0) {
            EXPECT_EQ(7u, exits.front().exitCode);
            EXPECT_NE(0u, exits.front().endedAt) << "the end's time";
        }
        EXPECT_GT(wakes.load(), 0) << "the pass is not woken for the end";
        CloseHandle(sleeper.hThread);
        CloseHandle(sleeper.hProcess);
    }
}

}  // namespace
