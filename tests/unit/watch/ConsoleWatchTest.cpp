// The console watch list: when a program is started, what becomes of its console, and how the
// records of consoles are kept, matched and forgotten. Programs are started for real, through
// cmd.exe in the user's session, from copies of the fixture programs.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "WatchTestHelpers.h"
#include "watch/CQuorbelServiceThread.h"

using namespace testing_support;
using namespace watch_test;

namespace {

DWORD FailingLauncher(UserLogon&, const XStringW&, const XStringW&, const XStringW&,
                      ScopedHandle*)
{
    return 0;
}

// A start whose console has ended already and whose id the system has given to another process
// since: the program itself is started directly, the id handed back is the bystander's.
DWORD reusedId = 0;
HANDLE endedConsole = nullptr;

DWORD ReusedIdLauncher(UserLogon&, const XStringW& path, const XStringW&, const XStringW&,
                       ScopedHandle* console)
{
    PROCESS_INFORMATION info = StartProgram(path.GetString(), L"");
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    HANDLE duplicate = nullptr;
    DuplicateHandle(GetCurrentProcess(), endedConsole, GetCurrentProcess(), &duplicate, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    console->Reset(duplicate);
    return reusedId;
}

class ConsoleWatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        watch.seams.launcher = &CountingLauncherOutsideAPass;
        ResetLaunchCount();
    }

    void TearDown() override
    {
        for (DWORD console : consoles) {
            TerminateById(console);
        }
        for (const std::wstring& name : programNames) {
            TerminateAllByName(name);
        }
    }

    std::wstring Program(const std::wstring& fileName)
    {
        programNames.push_back(fileName);
        return CopySleeper(scratch.Path(), fileName);
    }

    // A cmd.exe of our own that lives as long as the program it runs; returns once the
    // program is up.
    DWORD StartConsoleRunning(const std::wstring& programPath)
    {
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        PROCESS_INFORMATION info =
            StartProgram(std::wstring(system) + L"\\cmd.exe", L"/c \"" + programPath + L"\"");
        if (info.hProcess != nullptr) {
            CloseHandle(info.hThread);
            CloseHandle(info.hProcess);
            consoles.push_back(info.dwProcessId);
            WaitUntil([&] { return !StartsOf(programPath).empty(); }, 10000);
        }
        return info.dwProcessId;
    }

    DWORD RunProcess(const std::wstring& name, const std::wstring& path)
    {
        const DWORD console = watch.RunProcess(name.c_str(), path.c_str());
        consoles.push_back(console);
        return console;
    }

    std::vector<std::wstring> RecordNames() const
    {
        std::vector<std::wstring> names;
        for (const auto& info : watch.consoleRecords.pinfoList) {
            names.push_back(Text(info->name));
        }
        return names;
    }

    std::vector<std::wstring> RecordedIds(const std::wstring& name) const
    {
        std::vector<std::wstring> ids;
        for (const auto& info : watch.consoleRecords.pinfoList) {
            if (Text(info->name) == name) {
                for (int i = 0; i < info->pidList.GetCount(); ++i) {
                    ids.push_back(Text(info->pidList.GetAt(i)));
                }
            }
        }
        return ids;
    }

    ScratchDir scratch{L"unit_console_watch"};
    CQuorbelServiceThread watch;
    std::vector<DWORD> consoles;
    std::vector<std::wstring> programNames;
};

std::vector<std::wstring> Names(std::initializer_list<const wchar_t*> names)
{
    return std::vector<std::wstring>(names.begin(), names.end());
}

TEST_F(ConsoleWatchTest, ProgramUpWithinOneSecondLeavesNoRecordAndItsConsoleIsTerminated)
{
    const std::wstring path = Program(L"Quick.exe");
    TraceCapture trace;

    const DWORD console = RunProcess(L"Quick.exe", path);

    ASSERT_NE(console, 0u) << Utf8(trace.Text());
    ASSERT_TRUE(WaitUntil([&] { return !StartsOf(path).empty(); }, 5000));
    EXPECT_EQ(StartsOf(path).front().parentId, console) << "the program runs under its console";
    EXPECT_TRUE(WaitUntil([&] { return !IsProcessAlive(console); }, 5000))
        << "console " << console << " still runs";
    EXPECT_EQ(ProcessIdsByName(L"Quick.exe").size(), 1u) << "the program itself keeps running";
    EXPECT_TRUE(RecordNames().empty());
    const std::wstring id = std::to_wstring(console);
    EXPECT_TRUE(trace.Contains(L"Immediately Kill CMD for Quick.exe, " + id)) << Utf8(trace.Text());
    EXPECT_TRUE(trace.Contains(L"+Quick.exe, ret = " + id)) << Utf8(trace.Text());
}

TEST_F(ConsoleWatchTest, LivingConsoleBlocksAStartAndAnEndedOneIsReplacedByItsSuccessor)
{
    const DWORD holder = StartConsoleRunning(Program(L"Holder.exe"));
    ASSERT_NE(holder, 0u);
    // The entry's path leads to a program of another image name, so "Blocked.exe" is never
    // seen running, however slowly the machine starts processes.
    const std::wstring path = Program(L"BlockedStandIn.exe");
    watch.AddCMDWatchList(L"Blocked.exe", holder);

    {
        TraceCapture trace;
        EXPECT_EQ(RunProcess(L"Blocked.exe", path), 0u);
        EXPECT_EQ(LaunchCount(), 0);
        EXPECT_TRUE(trace.Contains(L"found Blocked.exe")) << Utf8(trace.Text());
        EXPECT_TRUE(trace.Contains(L"+Blocked.exe, ret = 0")) << Utf8(trace.Text());
    }

    TerminateAllByName(L"Holder.exe");
    ASSERT_TRUE(WaitUntil([&] { return !IsProcessAlive(holder); }, 5000));

    const DWORD successor = RunProcess(L"Blocked.exe", path);
    EXPECT_NE(successor, 0u);
    EXPECT_EQ(LaunchCount(), 1);
    EXPECT_TRUE(WaitUntil([&] { return StartsOf(path).size() == 1; }, 5000));
    EXPECT_EQ(RecordNames(), Names({L"Blocked.exe"}));
    // The ended console was dropped when the console list was taken before the start.
    EXPECT_EQ(RecordedIds(L"Blocked.exe"), Names({std::to_wstring(successor).c_str()}));
}

TEST_F(ConsoleWatchTest, FailedStartRecordsIdZeroWhichNeverCountsAsAlive)
{
    watch.seams.launcher = &FailingLauncher;

    EXPECT_EQ(RunProcess(L"Missing.exe", L"C:\\nowhere\\Missing.exe"), 0u);

    EXPECT_EQ(RecordedIds(L"Missing.exe"), Names({L"0"}));
    EXPECT_FALSE(watch.IsRunCMD(L"Missing.exe"));
}

TEST_F(ConsoleWatchTest, AnIdIsKeptOnceAndNewIdsFollowInOrder)
{
    TraceCapture trace;

    watch.AddCMDWatchList(L"a.exe", 100);
    watch.AddCMDWatchList(L"a.exe", 100);
    watch.AddCMDWatchList(L"a.exe", 200);

    EXPECT_EQ(RecordNames(), Names({L"a.exe"}));
    EXPECT_EQ(RecordedIds(L"a.exe"), Names({L"100", L"200"}));
    const std::wstring text = trace.Text();
    const size_t added = text.find(L"add name a.exe, add pid 100");
    const size_t kept = text.find(L"exist name a.exe, exist pid 100");
    const size_t appended = text.find(L"exist name a.exe, add pid 200");
    EXPECT_TRUE(added != std::wstring::npos && kept != std::wstring::npos &&
                appended != std::wstring::npos && added < kept && kept < appended)
        << Utf8(text);
    EXPECT_EQ(trace.Count(L"+ a.exe, 100"), 2);
    EXPECT_EQ(trace.Count(L"- a.exe, 200"), 1);
}

TEST_F(ConsoleWatchTest, RemovingForgetsOnlyThatNameAndAMissingNameChangesNothing)
{
    watch.AddCMDWatchList(L"a.exe", 1);
    watch.AddCMDWatchList(L"b.exe", 2);
    TraceCapture trace;

    watch.RemoveCMDWatchList(L"c.exe");
    EXPECT_EQ(RecordNames(), Names({L"a.exe", L"b.exe"}));
    EXPECT_TRUE(trace.Contains(L"+ c.exe")) << Utf8(trace.Text());
    EXPECT_TRUE(trace.Contains(L"- c.exe")) << Utf8(trace.Text());
    EXPECT_FALSE(trace.Contains(L"remove c.exe")) << Utf8(trace.Text());

    watch.RemoveCMDWatchList(L"a.exe");
    EXPECT_EQ(RecordNames(), Names({L"b.exe"}));
    EXPECT_TRUE(trace.Contains(L"remove a.exe")) << Utf8(trace.Text());
}

TEST_F(ConsoleWatchTest, NamesDifferingOnlyInCaseAreOneProgram)
{
    const DWORD console = StartConsoleRunning(Program(L"Holder.exe"));
    ASSERT_NE(console, 0u);
    watch.AddCMDWatchList(L"Prog.exe", console);

    EXPECT_TRUE(watch.IsRunCMD(L"prog.exe"));
    EXPECT_TRUE(watch.IsRunCMD(L"PROG.EXE"));

    watch.AddCMDWatchList(L"prog.exe", console);
    EXPECT_EQ(RecordNames(), Names({L"Prog.exe"}));
    EXPECT_EQ(RecordedIds(L"Prog.exe"), Names({std::to_wstring(console).c_str()}));
    watch.RemoveCMDWatchList(L"PROG.EXE");
    EXPECT_TRUE(RecordNames().empty());
}

TEST_F(ConsoleWatchTest, RecordsKeepOnlyRunningConsolesWhateverTheirName)
{
    const DWORD alive = StartConsoleRunning(Program(L"Holder.exe"));
    ASSERT_NE(alive, 0u);
    const DWORD ended = StartConsoleRunning(Program(L"Ended.exe"));
    ASSERT_NE(ended, 0u);
    TerminateById(ended);
    ASSERT_TRUE(WaitUntil([&] { return !IsProcessAlive(ended); }, 5000));
    // A paused entry's console that still runs, one that ended, and a name whose consoles all
    // ended: only the running console is left once the console list is taken.
    watch.AddCMDWatchList(L"paused.exe", ended);
    watch.AddCMDWatchList(L"paused.exe", alive);
    watch.AddCMDWatchList(L"failing.exe", 0);
    watch.AddCMDWatchList(L"failing.exe", ended);

    EXPECT_FALSE(watch.IsRunCMD(L"other.exe"));

    EXPECT_EQ(RecordNames(), Names({L"paused.exe"}));
    EXPECT_EQ(RecordedIds(L"paused.exe"), Names({std::to_wstring(alive).c_str()}));
}

TEST_F(ConsoleWatchTest, EndsOnlyTheConsoleItStartedNeverAProcessThatWasGivenItsIdSince)
{
    const std::wstring bystanderPath = Program(L"Bystander.exe");
    PROCESS_INFORMATION bystander = StartProgram(bystanderPath, L"");
    ASSERT_NE(bystander.hProcess, nullptr);
    CloseHandle(bystander.hThread);
    const ScopedHandle bystanderHandle(bystander.hProcess);
    PROCESS_INFORMATION ended = StartProgram(Program(L"EndedConsole.exe"), L"");
    ASSERT_NE(ended.hProcess, nullptr);
    CloseHandle(ended.hThread);
    const ScopedHandle endedHandle(ended.hProcess);
    TerminateProcess(ended.hProcess, 0);
    ASSERT_EQ(WaitForSingleObject(ended.hProcess, 5000), WAIT_OBJECT_0);
    reusedId = bystander.dwProcessId;
    endedConsole = ended.hProcess;
    watch.seams.launcher = &ReusedIdLauncher;
    const std::wstring path = Program(L"ReusedId.exe");
    TraceCapture trace;

    const DWORD console = watch.RunProcess(L"ReusedId.exe", path.c_str());

    EXPECT_EQ(console, reusedId);
    EXPECT_TRUE(trace.Contains(L"Immediately Kill CMD for ReusedId.exe, " +
                               std::to_wstring(reusedId)))
        << Utf8(trace.Text());
    EXPECT_EQ(WaitForSingleObject(bystanderHandle.Get(), 500), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the process that now has the console's id was ended";
    TerminateProcess(bystanderHandle.Get(), 0);
}

TEST_F(ConsoleWatchTest, WithoutThePinfoMutexTheListIsLeftAlone)
{
    watch.AddCMDWatchList(L"kept.exe", 1);
    ScopedHandle held(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ScopedHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread holder([&] {
        WaitForSingleObject(watch.consoleRecords.pinfoMutex.Get(), INFINITE);
        SetEvent(held.Get());
        WaitForSingleObject(release.Get(), INFINITE);
        ReleaseMutex(watch.consoleRecords.pinfoMutex.Get());
    });
    ASSERT_EQ(WaitForSingleObject(held.Get(), 5000), WAIT_OBJECT_0);
    watch.consoleRecords.waitMs = 50;
    TraceCapture trace;

    watch.AddCMDWatchList(L"new.exe", 2);
    watch.RemoveCMDWatchList(L"kept.exe");

    SetEvent(release.Get());
    holder.join();
    EXPECT_EQ(RecordNames(), Names({L"kept.exe"}));
    EXPECT_EQ(RecordedIds(L"kept.exe"), Names({L"1"}));
    EXPECT_EQ(trace.Count(L"<ERROR>"), 2) << Utf8(trace.Text());
    EXPECT_TRUE(trace.Contains(L"- new.exe, 2")) << Utf8(trace.Text());
    EXPECT_TRUE(trace.Contains(L"- kept.exe")) << Utf8(trace.Text());

    // Once the mutex is free again the list works as before.
    watch.AddCMDWatchList(L"new.exe", 2);
    EXPECT_EQ(RecordNames(), Names({L"kept.exe", L"new.exe"}));
}

}  // namespace
