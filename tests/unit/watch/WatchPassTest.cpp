// One pass of the watch thread, in-process: the hold-off after boot, the companion program, the
// interval rule, the entries over several passes, and that thousands of passes leak nothing. The
// watch list is the Wine user's own (HKCU is that user's hive below HKEY_USERS); the companion's
// directory is a scratch folder, so the real companion is never started from here.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "ProcessUsage.h"
#include "TestSupport.h"
#include "WatchTestHelpers.h"
#include "config/CQuorbelServiceHelper.h"
#include "config/EntryStateStore.h"
#include "config/MachinePolicy.h"
#include "config/RelaunchRequest.h"
#include "config/WatchListView.h"
#include "trace/EventLog.h"
#include "watch/CQuorbelServiceThread.h"

using namespace testing_support;
using namespace watch_test;

namespace {

constexpr wchar_t kCompanion[] = L"QuorbelServiceManager.exe";

std::atomic<DWORD> fakeTick{0};
std::atomic<int> tickReadings{0};

DWORD WINAPI FakeTickCount()
{
    ++tickReadings;
    return fakeTick.load();
}

XStringW companionDirectory;

std::atomic<ULONGLONG> fakeClock{0};

ULONGLONG WINAPI FakeClock()
{
    return fakeClock.load();
}

std::atomic<int> processTables{0};

std::atomic<int> failedStarts{0};

DWORD FailingLauncher(UserLogon&, const XStringW&, const XStringW&, const XStringW&,
                      ScopedHandle*, const LaunchOptions&)
{
    ++failedStarts;
    return 0;
}

// A launcher that fails and notes the session of the logon it was given.
std::atomic<DWORD> launchSession{0};
DWORD SessionNotingLauncher(UserLogon& logon, const XStringW&, const XStringW&, const XStringW&,
                            ScopedHandle*, const LaunchOptions&)
{
    launchSession = logon.SessionId();
    return 0;
}

// A launcher that asks the watch thread to stop, as a service stop during a pass would.
CQuorbelServiceThread* stoppedOnLaunch = nullptr;
DWORD StoppingLauncher(UserLogon&, const XStringW&, const XStringW&, const XStringW&,
                       ScopedHandle*, const LaunchOptions&)
{
    stoppedOnLaunch->Quit();
    return 0;
}

ProcessTable NoProcessTable(DWORD)
{
    return ProcessTable();
}

ProcessTable CountedProcessTable(DWORD)
{
    ++processTables;
    return ProcessTable::Take();
}

XStringW CompanionDirectory()
{
    return companionDirectory;
}

class WatchPassTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        companionDirectory = scratch.Path().c_str();
        companionPath = CopySleeper(scratch.Path(), kCompanion);
        watch.seams.moduleDirectory = &CompanionDirectory;
        watch.seams.launcher = &CountingLauncher;
        ResetLaunchCount();
        // As StartWatchThread leaves them on a machine that has been up for an hour.
        fakeTick = 3600000;
        watch.seams.tickCount = &FakeTickCount;
        watch.startTick = 3600000 - 1000;
        watch.startDelay = 40000;
        watch.SetInterval(5000);
    }

    void TearDown() override
    {
        for (const std::wstring& name : programNames) {
            TerminateAllByName(name);
        }
        TerminateAllByName(kCompanion);
        for (DWORD console : consoles) {
            TerminateById(console);
        }
    }

    void StartCompanion() { Start(companionPath); }

    // Starts a fixture_sleeper copy from the test and returns once it has recorded its start.
    void Start(const std::wstring& path) { ASSERT_NE(0u, StartRecorded(path)) << Utf8(path); }

    std::wstring Program(const std::wstring& fileName)
    {
        programNames.push_back(fileName);
        return CopySleeper(scratch.Path(), fileName);
    }

    std::vector<std::wstring> RecordNames() const
    {
        std::vector<std::wstring> names;
        for (const auto& info : watch.consoleRecords.pinfoList) {
            names.push_back(Text(info->name));
        }
        return names;
    }

    // The console recorded first for a name, 0 when there is none.
    DWORD FirstConsoleOf(const std::wstring& name)
    {
        for (const auto& info : watch.consoleRecords.pinfoList) {
            if (Text(info->name) == name && info->pidList.GetCount() > 0) {
                const DWORD console = static_cast<DWORD>(info->pidList.GetAt(0).ToUInt());
                consoles.push_back(console);
                return console;
            }
        }
        return 0;
    }

    ScratchDir scratch{L"unit_watch_pass"};
    WatchListKey watchList;
    CQuorbelServiceThread watch;
    std::wstring companionPath;
    std::vector<std::wstring> programNames;
    std::vector<DWORD> consoles;
};

TEST_F(WatchPassTest, HoldsOffOnlyWhileTheMachineHasBeenUpLessThanFortySeconds)
{
    struct Case {
        DWORD tick;
        DWORD startTick;
        bool heldOff;
    };
    const Case cases[] = {
        {1000, 500, true},
        {39999, 0, true},
        // The tick count wrapped round after the service had started.
        {1000, 0xFFFF0000u, false},
        {40000, 0, false},
        {3600000, 3599000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("tick " + std::to_string(c.tick) + ", started at " +
                     std::to_string(c.startTick));
        fakeTick = c.tick;
        watch.startTick = c.startTick;
        if (!c.heldOff) {
            // The companion runs, so a pass that is not held off starts nothing either.
            if (ProcessIdsByName(kCompanion).empty()) {
                ASSERT_NO_FATAL_FAILURE(StartCompanion());
            }
        }
        TraceCapture trace;

        EXPECT_EQ(watch.ThreadFunc(), 0);

        EXPECT_EQ(trace.Contains(L"Service delay"), c.heldOff) << Utf8(trace.Text());
        EXPECT_EQ(trace.Contains(L"no watch list"), !c.heldOff) << Utf8(trace.Text());
        EXPECT_EQ(LaunchCount(), 0);
    }
    EXPECT_TRUE(StartsOf(companionPath).size() == 1) << "only the test started the companion";
}

TEST_F(WatchPassTest, IntervalFollowsTheRegistryTextAndIsTracedOnlyWhenItChanges)
{
    ASSERT_NO_FATAL_FAILURE(StartCompanion());
    watch.SetInterval(100);
    watch.ThreadFunc();
    EXPECT_EQ(watch.GetInterval(), 5000u) << "no Interval value at all";
    struct Case {
        const wchar_t* text;  // null: the value is a REG_DWORD of 100
        DWORD expected;
    };
    // Kept within 500 ms .. 24 h; a number too large for 32 bits asks for the longest.
    const Case cases[] = {
        {L"00100", 500},         {L"0", 500},
        {L"-5", 5000},           {L"5s", 5000},
        {L"", 5000},             {L"4294967295", 86400000},
        {L"4294967296", 86400000}, {L"99999999999999999999", 86400000},
        {L"86400001", 86400000}, {L"1500", 1500},
        {nullptr, 500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text != nullptr ? "text \"" + Utf8(c.text) + "\"" : "REG_DWORD 100");
        if (c.text != nullptr) {
            watchList.SetIntervalText(c.text);
        } else {
            watchList.SetIntervalDword(100);
        }
        watch.SetInterval(777);
        {
            TraceCapture trace;
            watch.ThreadFunc();
            EXPECT_EQ(watch.GetInterval(), c.expected);
            EXPECT_EQ(trace.Count(L"setInterval : " + std::to_wstring(c.expected)), 1)
                << Utf8(trace.Text());
        }
        {
            TraceCapture trace;
            watch.ThreadFunc();
            EXPECT_EQ(watch.GetInterval(), c.expected);
            EXPECT_FALSE(trace.Contains(L"setInterval")) << Utf8(trace.Text());
        }
    }
    EXPECT_EQ(LaunchCount(), 0);
}

TEST_F(WatchPassTest, MissingCompanionIsStartedAndNoneOfItsConsolesIsLeft)
{
    TraceCapture trace;

    watch.ThreadFunc();

    EXPECT_TRUE(trace.Contains(L"Execute Service Manager")) << Utf8(trace.Text());
    // It came up, so it is not started a second time once its console has been ended.
    EXPECT_EQ(LaunchCount(), 1);
    EXPECT_EQ(ProcessIdsByName(kCompanion).size(), 1u) << "the companion runs once";
    ASSERT_TRUE(WaitUntil([&] { return !StartsOf(companionPath).empty(); }, 5000));
    const std::vector<StartRecord> starts = StartsOf(companionPath);
    for (const StartRecord& start : starts) {
        EXPECT_TRUE(WaitUntil([&] { return !IsProcessAlive(start.parentId); }, 5000))
            << "console " << start.parentId << " of the companion still runs";
    }
    EXPECT_TRUE(RecordNames().empty());
}

TEST_F(WatchPassTest, CompanionThatEndsAtOnceIsHeldBackAtGrowingGapsLikeAnyProgram)
{
    ASSERT_TRUE(WriteTextFile(companionPath + L".exit"));
    watch.seams.clock = &FakeClock;
    watch.seams.programStartWaitMs = 0;
    constexpr ULONGLONG kStart = 10000000;
    // Each pass runs once the companion and its consoles are gone, so that it sees its end.
    auto passAt = [&](ULONGLONG at) {
        EXPECT_TRUE(WaitUntil([&] {
            const std::vector<StartRecord> starts = StartsOf(companionPath);
            if (starts.size() < static_cast<size_t>(LaunchCount()) ||
                !ProcessIdsByName(kCompanion).empty()) {
                return false;
            }
            for (const StartRecord& start : starts) {
                if (IsProcessAlive(start.parentId)) {
                    return false;
                }
            }
            return true;
        }, 10000)) << StartsOf(companionPath).size() << " starts of " << LaunchCount();
        fakeClock = at;
        watch.ThreadFunc();
        return LaunchCount();
    };
    const struct {
        ULONGLONG at;
        int launches;
    } passes[] = {
        {kStart, 1},        {kStart, 1},        {kStart + 999, 1},   // held 1 s
        {kStart + 1000, 2}, {kStart + 1000, 2}, {kStart + 2999, 2},  // held 2 s
        {kStart + 3000, 3},
    };
    for (const auto& pass : passes) {
        EXPECT_EQ(pass.launches, passAt(pass.at)) << "at +" << (pass.at - kStart) << " ms";
    }
}

TEST_F(WatchPassTest, RunningCompanionIsNotStartedAndItsRecordsAreForgotten)
{
    ASSERT_NO_FATAL_FAILURE(StartCompanion());
    watch.AddCMDWatchList(kCompanion, 4242);
    TraceCapture trace;

    watch.ThreadFunc();

    EXPECT_EQ(LaunchCount(), 0);
    EXPECT_TRUE(RecordNames().empty());
    EXPECT_TRUE(trace.Contains(L"Running Process QuorbelServiceManager.exe")) << Utf8(trace.Text());
    EXPECT_EQ(StartsOf(companionPath).size(), 1u);
}

TEST_F(WatchPassTest, SteadyPassTakesOneProcessSnapshotAndMatchesNamesInAnyCase)
{
    ASSERT_NO_FATAL_FAILURE(StartCompanion());
    const std::wstring first = Program(L"SteadyOne.exe");
    const std::wstring second = Program(L"SteadyTwo.exe");
    ASSERT_NO_FATAL_FAILURE(Start(first));
    ASSERT_NO_FATAL_FAILURE(Start(second));
    watchList.AddEntry(L"steadyone.exe", first);  // added in other letter case than its file
    watchList.AddEntry(L"SteadyTwo.exe", second);
    watch.seams.takeProcessTable = &CountedProcessTable;
    processTables = 0;
    TraceCapture trace;

    watch.ThreadFunc();

    EXPECT_EQ(processTables.load(), 1);
    EXPECT_EQ(LaunchCount(), 0);
    EXPECT_TRUE(trace.Contains(L"Running Process steadyone.exe")) << Utf8(trace.Text());
    EXPECT_TRUE(trace.Contains(L"Running Process SteadyTwo.exe")) << Utf8(trace.Text());
}

TEST_F(WatchPassTest, EntryWithoutAStringPathWritesOneErrorLineAndStartsNothing)
{
    ASSERT_NO_FATAL_FAILURE(StartCompanion());
    watchList.AddEntry(L"NoPath.exe", L"");
    watchList.AddEntry(L"Forged\r\n(fake) line.exe", L"");
    const std::wstring multiKey = std::wstring(L"Software\\QUORBEL\\QuorbelService\\MultiPath.exe");
    const wchar_t multi[] = L"C:\\x.exe\0\0";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, multiKey.c_str(), L"Path", REG_MULTI_SZ, multi,
                              sizeof(multi)),
              ERROR_SUCCESS);
    TraceCapture trace;

    watch.ThreadFunc();

    EXPECT_EQ(LaunchCount(), 0);
    EXPECT_EQ(trace.Count(L"<ERROR> no program path for NoPath.exe"), 1) << Utf8(trace.Text());
    // A name's line break is shown, never written: no line of the name's making.
    EXPECT_EQ(trace.Count(L"path for Forged<U+000D><U+000A>(fake) line.exe"), 1)
        << Utf8(trace.Text());
    EXPECT_FALSE(trace.Contains(L"\n(fake)")) << Utf8(trace.Text());
    EXPECT_EQ(trace.Count(L"<ERROR> no program path for MultiPath.exe"), 1) << Utf8(trace.Text());
    EXPECT_TRUE(RecordNames().empty());
}

TEST_F(WatchPassTest, LateProgramKeepsItsConsoleRecordUntilSeenRunningAndTheConsoleIsNotTerminated)
{
    ASSERT_NO_FATAL_FAILURE(StartCompanion());
    const std::wstring late = Program(L"LateProgram.exe");
    programNames.push_back(L"SlowLauncher.exe");
    const std::wstring launcherPath =
        CopyLateStarter(scratch.Path(), L"SlowLauncher.exe", 3000, late);
    watchList.AddEntry(L"LateProgram.exe", launcherPath);

    {
        TraceCapture trace;
        watch.ThreadFunc();
        EXPECT_TRUE(trace.Contains(L"watchList[0] : LateProgram.exe path : " + launcherPath))
            << Utf8(trace.Text());
    }
    EXPECT_EQ(LaunchCount(), 1);
    const DWORD console = FirstConsoleOf(L"LateProgram.exe");
    ASSERT_NE(console, 0u) << "a record for the late program";
    ASSERT_TRUE(ProcessIdsByName(L"LateProgram.exe").empty()) << "the program came up too early";

    {
        TraceCapture trace;
        watch.ThreadFunc();
        EXPECT_TRUE(trace.Contains(L"found LateProgram.exe")) << Utf8(trace.Text());
    }
    EXPECT_EQ(LaunchCount(), 1) << "no second start while the console runs";

    ASSERT_TRUE(WaitUntil([] { return !ProcessIdsByName(L"LateProgram.exe").empty(); }, 15000));
    {
        TraceCapture trace;
        watch.ThreadFunc();
        EXPECT_TRUE(trace.Contains(L"Running Process LateProgram.exe")) << Utf8(trace.Text());
    }
    EXPECT_EQ(LaunchCount(), 1);
    EXPECT_TRUE(RecordNames().empty());
    EXPECT_TRUE(IsProcessAlive(console)) << "the console is forgotten, not terminated";
    // The program may be listed a moment before it has recorded its start.
    EXPECT_TRUE(WaitUntil([&] { return !StartsOf(late).empty(); }, 5000));
    EXPECT_EQ(StartsOf(late).size(), 1u);
}

TEST_F(WatchPassTest, ThousandsOfPassesWithAZeroIntervalLeakNoHandleAndNoMemory)
{
    ASSERT_NO_FATAL_FAILURE(StartCompanion());
    const std::wstring steady = Program(L"Steady.exe");
    ASSERT_NO_FATAL_FAILURE(Start(steady));
    watchList.AddEntry(L"Steady.exe", steady);
    watchList.AddEntry(L"SteadyToo.exe", steady);  // started once: its console is recorded
    watchList.SetIntervalText(L"0");
    programNames.push_back(L"SteadyToo.exe");

    // The interval is kept at 500 ms at least now, so the passes are run back to back here
    // rather than by the thread. Each pass reads the tick count once, which counts the passes.
    const auto runPasses = [&](int passes) {
        tickReadings = 0;
        for (int pass = 0; pass < passes; ++pass) {
            watch.ThreadFunc();
        }
        return tickReadings.load() >= passes;
    };
    ASSERT_TRUE(runPasses(200)) << tickReadings.load() << " passes";
    EXPECT_EQ(watch.GetInterval(), kMinIntervalMs);
    const ProcessUsage before = CurrentUsage();
    ASSERT_GT(before.handles, 0u);
    ASSERT_GT(before.privateBytes, 0u);

    ASSERT_TRUE(runPasses(2000)) << tickReadings.load() << " passes";
    const ProcessUsage after = CurrentUsage();

    EXPECT_LE(after.handles, before.handles + 8)
        << "handles " << before.handles << " -> " << after.handles;
    EXPECT_LE(after.privateBytes, before.privateBytes + 256 * 1024)
        << "private bytes " << before.privateBytes << " -> " << after.privateBytes;
    // Even eight bytes lost per pass would show here.
    EXPECT_LE(after.heapBytes, before.heapBytes + 16 * 1024)
        << "heap bytes in use " << before.heapBytes << " -> " << after.heapBytes;
}

TEST_F(WatchPassTest, ChurnedNamesThatNeverComeUpLeaveNoRecordsAndNoHandlesBehind)
{
    ASSERT_NO_FATAL_FAILURE(StartCompanion());
    watch.seams.launcher = &FailingLauncher;
    watch.seams.programStartWaitMs = 0;
    // Each name comes when the pace of starts has room for it again.
    watch.seams.clock = &FakeClock;
    fakeClock = 90000000;
    const auto churn = [&](int first, int count) {
        for (int k = first; k < first + count; ++k) {
            fakeClock += 1000 / StartRate::kPerSecond;
            const std::wstring name = L"Churned" + std::to_wstring(k) + L".exe";
            watchList.AddEntry(name, L"C:\\QuorbelTests\\nowhere\\" + name);
            watch.ThreadFunc();
            watch.ThreadFunc();
            watchList.RemoveEntry(name);
        }
    };
    churn(0, 20);
    const ProcessUsage before = CurrentUsage();
    ASSERT_GT(before.handles, 0u);

    failedStarts = 0;
    churn(20, 200);
    const int starts = failedStarts.load();
    watch.ThreadFunc();
    const ProcessUsage after = CurrentUsage();

    EXPECT_TRUE(RecordNames().empty()) << RecordNames().size() << " records left";
    // The failed start is a quick exit: the second pass holds the next one back.
    EXPECT_EQ(starts, 200) << "each name is started at its first pass only";
    EXPECT_LE(after.handles, before.handles + 8)
        << "handles " << before.handles << " -> " << after.handles;
    EXPECT_LE(after.heapBytes, before.heapBytes + 16 * 1024)
        << "heap bytes in use " << before.heapBytes << " -> " << after.heapBytes;
}

TEST_F(WatchPassTest, APassWithoutAProcessListStillComesBackWhenAHeldBackStartFallsDue)
{
    ASSERT_NO_FATAL_FAILURE(StartCompanion());
    watch.seams.launcher = &FailingLauncher;
    watchList.AddEntry(L"HeldBack.exe", L"C:\\QuorbelTests\\nowhere\\HeldBack.exe");
    watch.ThreadFunc();  // the start fails
    {
        TraceCapture trace;
        watch.ThreadFunc();  // a quick exit: the next start is held back a second
        // Each line names the function that wrote it, not the pass.
        EXPECT_TRUE(trace.Contains(L"ReportBackoff(")) << Utf8(trace.Text());
        EXPECT_TRUE(trace.Contains(L"ProgramRuns::MayStart(")) << Utf8(trace.Text());
    }
    watch.seams.takeProcessTable = &NoProcessTable;
    watch.SetNextWait(INFINITE);  // as the thread leaves it before every pass
    TraceCapture trace;

    watch.ThreadFunc();

    EXPECT_LE(watch.GetNextWait(), 1000u) << "the held-back start waits a whole interval";
    EXPECT_TRUE(trace.Contains(L"ProcessView::Refresh(")) << Utf8(trace.Text());
}

std::atomic<int> reportedEvents{0};

BOOL WINAPI CountEvent(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR*, LPVOID)
{
    ++reportedEvents;
    return TRUE;
}

TEST_F(WatchPassTest, AHugeListIsWatchedUpToItsCapStartedAtThePaceAndReportedWithinItsShare)
{
    ASSERT_NO_FATAL_FAILURE(StartCompanion());
    constexpr int kEntries = kMaxWatchedUserEntries + 44;
    for (int i = 0; i < kEntries; ++i) {
        const std::wstring name = L"Huge" + std::to_wstring(1000 + i) + L".exe";
        watchList.AddEntry(name, L"C:\\QuorbelTests\\nowhere\\" + name);
    }
    watch.seams.launcher = &FailingLauncher;
    watch.seams.programStartWaitMs = 0;
    watch.seams.clock = &FakeClock;
    fakeClock = 50000000;
    failedStarts = 0;
    reportedEvents = 0;
    event_log::reportEvent = &CountEvent;
    const XStringW sid = CQuorbelServiceHelper::GetCurrentUserSID();
    {
        TraceCapture trace;
        watch.SetNextWait(INFINITE);
        watch.ThreadFunc();
        EXPECT_EQ(trace.Count(L"44 active entries past the first 256 of the user's list are not "
                              L"watched"),
                  1)
            << Utf8(trace.Text());
        EXPECT_TRUE(trace.Contains(L"192 starts put off")) << Utf8(trace.Text());
    }
    EXPECT_EQ(static_cast<int>(StartRate::kBurst), failedStarts.load());
    EXPECT_LE(watch.GetNextWait(), 1000 / StartRate::kPerSecond);
    EXPECT_EQ(static_cast<size_t>(kMaxWatchedUserEntries), EntryStateStore::ReadAll(sid).size());

    // Passes at the same moment start nothing more; time lets the pace through.
    for (int pass = 0; pass < 3; ++pass) {
        watch.ThreadFunc();
    }
    EXPECT_EQ(static_cast<int>(StartRate::kBurst), failedStarts.load());
    fakeClock += 1000;
    watch.ThreadFunc();
    EXPECT_EQ(static_cast<int>(StartRate::kBurst + StartRate::kPerSecond), failedStarts.load());
    EXPECT_EQ(static_cast<size_t>(kMaxWatchedUserEntries), EntryStateStore::ReadAll(sid).size());
    EXPECT_LE(reportedEvents.load(), static_cast<int>(event_log::kListEventsPerHour));
    event_log::reportEvent = ::ReportEventW;
}

TEST_F(WatchPassTest, NothingIsWaitedForAfterAFailedLaunchOrWithNobodyLoggedOn)
{
    watchList.AddEntry(L"Failing.exe", L"C:\\QuorbelTests\\nowhere\\Failing.exe");
    watch.seams.launcher = &FailingLauncher;  // the companion is not running either
    failedStarts = 0;
    ULONGLONG from = GetTickCount64();
    watch.ThreadFunc();
    EXPECT_GE(failedStarts.load(), 2) << "the companion's and the entry's";
    EXPECT_LT(GetTickCount64() - from, 900u) << "a failed launch was waited for";

    watch.seams.launcher = &CountingLauncher;
    TraceCapture trace;
    ULONGLONG tookMs = 0;
    {
        const FakeSessions nobody(L"none");
        from = GetTickCount64();
        watch.ThreadFunc();
        tookMs = GetTickCount64() - from;
    }
    EXPECT_EQ(0, LaunchCount()) << Utf8(trace.Text());
    EXPECT_LT(tookMs, 900u);
    EXPECT_TRUE(trace.Contains(L"no one logged on: nothing started")) << Utf8(trace.Text());
}

TEST_F(WatchPassTest, AStopDuringAPassPublishesNothingMore)
{
    ASSERT_NO_FATAL_FAILURE(StartCompanion());
    const std::vector<std::wstring> names = {L"StopA.exe", L"StopB.exe", L"StopC.exe"};
    for (const std::wstring& name : names) {
        watchList.AddEntry(name, L"C:\\QuorbelTests\\nowhere\\" + name);
    }
    stoppedOnLaunch = &watch;
    watch.seams.launcher = &StoppingLauncher;

    watch.ThreadFunc();

    const XStringW sid = CQuorbelServiceHelper::GetCurrentUserSID();
    for (const std::wstring& name : names) {
        EntryState state;
        EXPECT_FALSE(EntryStateStore::Read(sid, name.c_str(), state)) << Utf8(name);
    }
}

TEST_F(WatchPassTest, StopEndsTheConsolesOfProgramsNotUpYetAndReleasesEveryWait)
{
    ASSERT_NO_FATAL_FAILURE(StartCompanion());
    const std::wstring late = Program(L"NotUpYet.exe");
    programNames.push_back(L"SlowStarter.exe");
    watchList.AddEntry(L"NotUpYet.exe", CopyLateStarter(scratch.Path(), L"SlowStarter.exe", 3000, late));
    watch.ThreadFunc();
    const DWORD console = FirstConsoleOf(L"NotUpYet.exe");
    ASSERT_NE(console, 0u) << "a record for the program not up yet";
    ASSERT_GT(watch.WaitCount(), 0u);

    watch.Stop();

    EXPECT_TRUE(WaitUntil([&] { return !IsProcessAlive(console); }, 5000))
        << "console " << console << " left behind";
    EXPECT_EQ(watch.WaitCount(), 0u);
}

TEST_F(WatchPassTest, OnlyAnEntryWhoseSettingsChangedGetsAFreshStart)
{
    watchList.AddEntry(L"Edited.exe", L"C:\\QuorbelTests\\a\\Edited.exe");
    watchList.AddEntry(L"Untouched.exe", L"C:\\QuorbelTests\\a\\Untouched.exe");
    const XStringW sid = CQuorbelServiceHelper::GetCurrentUserSID();
    WatchPass pass([] {});
    bool listChanged = false;
    ASSERT_TRUE(pass.TakeChangedEntries(sid, pass.ReadList(sid), listChanged).empty())
        << "the first look";

    // Neither the interval nor a value the service never reads is an edit of an entry.
    watchList.SetIntervalText(L"7000");
    const std::wstring untouchedKey =
        std::wstring(CQuorbelServiceHelper::kBaseKeyPath) + L"\\Untouched.exe";
    const wchar_t note[] = L"any";
    RegSetKeyValueW(HKEY_CURRENT_USER, untouchedKey.c_str(), L"Note", REG_SZ, note, sizeof(note));
    const std::wstring editedKey =
        std::wstring(CQuorbelServiceHelper::kBaseKeyPath) + L"\\Edited.exe";
    const DWORD hangTimeout = 30;
    RegSetKeyValueW(HKEY_CURRENT_USER, editedKey.c_str(), L"HangTimeout", REG_DWORD, &hangTimeout,
                    sizeof(hangTimeout));
    watchList.AddEntry(L"Edited.exe", L"C:\\QuorbelTests\\b\\Edited.exe");
    std::vector<XStringW> changed;
    ASSERT_TRUE(WaitUntil(
        [&] {
            changed = pass.TakeChangedEntries(sid, pass.ReadList(sid), listChanged);
            return !changed.empty();
        },
        5000));

    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(Text(changed.front()), L"Edited.exe");
    // What the pass starts and watches is what it read at the change.
    EXPECT_EQ(Text(pass.LaunchOf(sid, L"Edited.exe").path), L"C:\\QuorbelTests\\b\\Edited.exe");
    EXPECT_EQ(pass.HangTimeoutOf(sid, L"Edited.exe"), hangTimeout);
    EXPECT_EQ(pass.HangTimeoutOf(sid, L"Untouched.exe"), 0u);
}

// A fast user switch: another session is the active one now. The first user's programs are no
// longer waited on, their end is recorded for no one, and the starts of the pass are made for
// the session it found.
TEST_F(WatchPassTest, ASessionSwitchDropsThePreviousUsersWaitsAndStartsInTheNewSession)
{
    ASSERT_NO_FATAL_FAILURE(StartCompanion());
    const std::wstring first = Program(L"FirstUsers.exe");
    ASSERT_NO_FATAL_FAILURE(Start(first));
    watchList.AddEntry(L"FirstUsers.exe", first);
    watch.ThreadFunc();
    ASSERT_EQ(watch.WaitCount(), 2u) << "the companion and the program are waited on";

    watch.seams.launcher = &SessionNotingLauncher;
    launchSession = 0;
    {
        const FakeSessions switched(L"switched");
        TraceCapture trace;
        watch.ThreadFunc();
        EXPECT_TRUE(trace.Contains(L"are no longer watched")) << Utf8(trace.Text());
        EXPECT_EQ(watch.WaitCount(), 0u);
        EXPECT_EQ(launchSession.load(), 2u) << "the starts are made for the pass's session";

        TerminateAllByName(L"FirstUsers.exe");
        TraceCapture after;
        watch.ThreadFunc();
        EXPECT_FALSE(after.Contains(L"FirstUsers.exe process")) << Utf8(after.Text());
    }
}

// A relaunch request explains an end away only for an entry of the user's own list, written before
// that end, and once a minute: a request under a policy program's name (the user may make a key
// of that name), one written after the end, and a second one within the minute leave the end a
// quick exit like any other.
TEST_F(WatchPassTest, ARelaunchRequestCountsOnlyForTheUsersOwnEntryWrittenBeforeTheEndOnceAMinute)
{
    const std::wstring policyKey = std::wstring(machine_policy::kKeyPath) + L"\\" +
                                   machine_policy::kProgramsSubKey;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, machine_policy::kKeyPath);
    ASSERT_NO_FATAL_FAILURE(StartCompanion());
    watch.seams.launcher = &FailingLauncher;  // nothing ended here is started again
    const struct {
        const wchar_t* name;
        bool policy;
        bool requestAfterEnd;
        bool honoured;
    } cases[] = {
        {L"OwnRelaunch.exe", false, false, true},
        {L"LateRelaunch.exe", false, true, false},
        {L"PolicyRelaunch.exe", true, false, false},
    };
    std::map<std::wstring, std::wstring> paths;
    for (const auto& c : cases) {
        paths[c.name] = Program(c.name);
        watchList.AddEntry(c.name, paths[c.name]);
        if (c.policy) {
            const std::wstring line = L"\"" + paths[c.name] + L"\"";
            ASSERT_EQ(ERROR_SUCCESS,
                      RegSetKeyValueW(HKEY_LOCAL_MACHINE, policyKey.c_str(), c.name, REG_SZ,
                                      line.c_str(), static_cast<DWORD>((line.size() + 1) * 2)));
        }
        ASSERT_NO_FATAL_FAILURE(Start(paths[c.name]));
    }
    const size_t allWaited = 1 + std::size(cases);  // and the companion
    ASSERT_TRUE(WaitUntil([&] { watch.ThreadFunc(); return watch.WaitCount() == allWaited; },
                          10000)) << watch.WaitCount() << " waits";

    // Ends them all, each with its request before or after its end, and returns the trace of
    // the pass that took each end, by name. The starts that follow fail, and are judged later.
    const auto endWithRequests = [&](auto&& requestAfterEnd) {
        for (const auto& c : cases) {
            if (!requestAfterEnd(c)) {
                EXPECT_EQ(ERROR_SUCCESS, relaunch_request::Write(c.name));
            }
            TerminateAllByName(c.name);
            if (requestAfterEnd(c)) {
                EXPECT_TRUE(WaitUntil([&] { return ProcessIdsByName(c.name).empty(); }, 5000));
                EXPECT_EQ(ERROR_SUCCESS, relaunch_request::Write(c.name));
            }
        }
        std::map<std::wstring, std::wstring> passOf;
        EXPECT_TRUE(WaitUntil([&] {
            TraceCapture trace;
            watch.ThreadFunc();
            for (const auto& c : cases) {
                if (trace.Contains(std::wstring(c.name) + L" process ")) {
                    passOf[c.name] = trace.Text();
                }
            }
            return passOf.size() == std::size(cases);
        }, 10000)) << passOf.size() << " ends taken";
        return passOf;
    };
    std::map<std::wstring, std::wstring> passOf =
        endWithRequests([](const auto& c) { return c.requestAfterEnd; });
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.name));
        const std::wstring& trace = passOf[c.name];
        EXPECT_EQ(c.honoured, trace.find(std::wstring(c.name) + L" relaunched by its user") !=
                                  std::wstring::npos) << Utf8(trace);
        EXPECT_EQ(!c.honoured, trace.find(std::wstring(c.name) + L" backing off") !=
                                   std::wstring::npos) << Utf8(trace);
    }

    // The same own entry within the minute: this time its end counts.
    for (const auto& c : cases) {
        ASSERT_NO_FATAL_FAILURE(Start(paths[c.name]));
    }
    ASSERT_TRUE(WaitUntil([&] { watch.ThreadFunc(); return watch.WaitCount() == allWaited; },
                          10000)) << watch.WaitCount() << " waits";
    passOf = endWithRequests([](const auto&) { return false; });
    const std::wstring& again = passOf[L"OwnRelaunch.exe"];
    EXPECT_EQ(again.find(L"OwnRelaunch.exe relaunched by its user"), std::wstring::npos)
        << Utf8(again);
    EXPECT_NE(again.find(L"OwnRelaunch.exe asked for a relaunch again within a minute"),
              std::wstring::npos) << Utf8(again);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, machine_policy::kKeyPath);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, machine_policy::kKeyPath);
}

}  // namespace
