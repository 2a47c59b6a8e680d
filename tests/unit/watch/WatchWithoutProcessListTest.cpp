// A pass whose look at the processes fails: it must not take that for "nothing runs".

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>

#include "TestSupport.h"
#include "WatchTestHelpers.h"
#include "watch/CQuorbelServiceThread.h"

using namespace testing_support;
using namespace watch_test;

namespace {

std::atomic<int> tablesBeforeFailure{0};

ProcessTable FailingAfterSome(DWORD)
{
    if (tablesBeforeFailure-- > 0) {
        return ProcessTable::Take();
    }
    return ProcessTable();
}

DWORD WINAPI UpForAnHour()
{
    return 3600000;
}

XStringW emptyFolder;
XStringW EmptyFolder()
{
    return emptyFolder;
}

TEST(WatchWithoutProcessList, StartsNothingMoreAndForgetsNoConsoleOnceTheListFails)
{
    struct Case {
        const char* what;
        int goodTables;
        int launches;  // the companion's, started before the list failed
        // The record of a console that is not running: forgotten only by a pass that saw the
        // consoles that run.
        const wchar_t* firstRecord;
    };
    const Case cases[] = {{"failing from the start", 0, 0, L"NeverListed.exe"},
                          {"failing after a start", 1, 1, L"QuorbelServiceManager.exe"}};
    ScratchDir folder(L"unit_watch_no_list");
    emptyFolder = folder.Path().c_str();
    WatchListKey watchList;
    watchList.AddEntry(L"NeverListed.exe", folder / L"NeverListed.exe");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CQuorbelServiceThread watch;
        watch.seams.tickCount = &UpForAnHour;
        watch.startTick = 0;
        watch.startDelay = 40000;
        watch.seams.moduleDirectory = &EmptyFolder;
        watch.seams.launcher = &CountingLauncher;
        watch.seams.programStartWaitMs = 0;
        watch.seams.takeProcessTable = &FailingAfterSome;
        tablesBeforeFailure = c.goodTables;
        ResetLaunchCount();
        watch.AddCMDWatchList(L"NeverListed.exe", 4242);
        TraceCapture trace;

        watch.ThreadFunc();

        EXPECT_EQ(c.launches, LaunchCount()) << Utf8(trace.Text());
        ASSERT_EQ(1u, watch.consoleRecords.pinfoList.size()) << "a console record was forgotten";
        EXPECT_EQ(c.firstRecord, Text(watch.consoleRecords.pinfoList.front()->name));
        EXPECT_TRUE(trace.Contains(L"<ERROR> no process list")) << Utf8(trace.Text());
    }
}

}  // namespace
