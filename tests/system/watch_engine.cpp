// The watch engine end to end: the real service, started by Wine's service manager, keeps the
// user's watch-list programs and its companion running, starts them through a console of its
// own, leaves paused and removed entries alone, and does nothing without a logged-on user.
// Wine reports no terminal-services session, so the service loads the stand-in wtsapi32.dll
// from its own folder (a per-executable DLL override in the registry).

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Loopback.h"
#include "ServiceControl.h"
#include "common/ScopedHandle.h"
#include "TestSupport.h"
#include "channel/ChannelProtocol.h"
#include "common/ScopedHandle.h"
#include "process/Sessions.h"

using namespace testing_support;

namespace {

constexpr wchar_t kServiceExe[] = L"QuorbelService.exe";
constexpr wchar_t kCompanion[] = L"QuorbelServiceManager.exe";
constexpr wchar_t kWatchListKey[] = L"Software\\QUORBEL\\QuorbelService";
// Read by the stand-in wtsapi32.dll: with "Mode" = "none" it reports no session at all.
constexpr wchar_t kWtsFixtureKey[] = L"Software\\QuorbelTests\\Wts";
constexpr wchar_t kStateKey[] = L"SOFTWARE\\QUORBEL\\QuorbelService\\State";

// The service publishes in the 64-bit view, which a 32-bit test under WOW64 must name.
LONG DeleteStateKey()
{
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kStateKey, 0,
                                DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE |
                                    KEY_WOW64_64KEY,
                                &key);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    status = RegDeleteTreeW(key, nullptr);
    RegCloseKey(key);
    return status == ERROR_SUCCESS
               ? RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kStateKey, KEY_WOW64_64KEY, 0)
               : status;
}
constexpr DWORD kIntervalMs = 300;

std::wstring JoinedLines(const std::vector<std::wstring>& lines)
{
    std::wstring all;
    for (const std::wstring& line : lines) {
        all += line + L"\n";
    }
    return all;
}

std::wstring EntryKey(const std::wstring& name)
{
    return std::wstring(kWatchListKey) + L"\\" + name;
}

// Every cmd.exe seen while polling, with its parent: a console may live only a second.
class ConsoleSightings {
public:
    void Look()
    {
        for (DWORD console : ProcessIdsByName(L"cmd.exe")) {
            if (parents_.find(console) == parents_.end()) {
                parents_[console] = ParentProcessId(console);
            }
        }
    }
    // 0 when the console was never seen.
    DWORD ParentOf(DWORD console) const
    {
        const auto found = parents_.find(console);
        return found == parents_.end() ? 0 : found->second;
    }

private:
    std::map<DWORD, DWORD> parents_;
};

class WatchEngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveService();
        RegDeleteTreeW(HKEY_CURRENT_USER, kWatchListKey);
        RegDeleteTreeW(HKEY_CURRENT_USER, kWtsFixtureKey);
        // What earlier tests' services published would be carried on, as after a restart of
        // the service; each test starts as after a restart of the machine.
        DeleteStateKey();
        SetString(kWatchListKey, L"Interval", std::to_wstring(kIntervalMs));
        ASSERT_TRUE(PutServiceFiles(dir.Path()));
        ASSERT_TRUE(WriteTextFile(dir / L"trace.txt"));
        CreateDirectoryW((dir / L"Programs").c_str(), nullptr);
    }

    void TearDown() override
    {
        RemoveService();
        for (const std::wstring& name : programNames) {
            TerminateAllByName(name);
        }
        TerminateAllByName(kCompanion);
        RegDeleteTreeW(HKEY_CURRENT_USER, kWatchListKey);
        RegDeleteTreeW(HKEY_CURRENT_USER, kWtsFixtureKey);
        RemoveServiceOverride();
        // The parents go too unless something else keeps keys in them.
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\QUORBEL");
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\QuorbelTests");
    }

    // A copy of a test program (fixture_sleeper unless another is named) under the name, in
    // its own folder below Programs.
    std::wstring Program(const std::wstring& folder, const std::wstring& fileName,
                         const wchar_t* fixture = L"fixture_sleeper.exe")
    {
        programNames.push_back(fileName);
        const std::wstring folderPath = dir / (L"Programs\\" + folder);
        CreateDirectoryW(folderPath.c_str(), nullptr);
        const std::wstring path = folderPath + L"\\" + fileName;
        EXPECT_TRUE(CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\" + fixture, path))
            << Utf8(path);
        return path;
    }

    void BringServiceUp()
    {
        DWORD error = 0;
        ASSERT_TRUE(CreateAndStartService(L"\"" + (dir / kServiceExe) + L"\" service", true, &error))
            << "error " << error;
        ASSERT_TRUE(WaitUntil([&] { return ServiceState() == SERVICE_RUNNING; }, 20000, 50))
            << "state " << ServiceState();
        servicePid = ServiceStatus().dwProcessId;
        ASSERT_NE(servicePid, 0u);
    }

    // At Interval 60000, with an empty list that its first pass has found: an import is then
    // taken by a pass of its own.
    void BringServiceUpIdle()
    {
        SetString(kWatchListKey, L"Interval", L"60000");
        ASSERT_NO_FATAL_FAILURE(BringServiceUp());
        ASSERT_TRUE(WaitUntil(
            [&] { return ServiceLog().find(L"no watch list") != std::wstring::npos; }, 20000))
            << Utf8(ServiceLog());
    }

    // The service's trace, all files together.
    std::wstring ServiceLog() const
    {
        std::wstring text;
        for (const std::wstring& name : ListFiles(dir / L"Log", L"QuorbelService_*.log")) {
            text += ReadUtf16File(dir / (L"Log\\" + name));
        }
        return text;
    }

    // Every pass looks the user up once and says so.
    int PassCount() const
    {
        return Occurrences(ServiceLog(), L"CurrentUserName : ");
    }

    bool WaitForPasses(int passes, DWORD timeoutMs)
    {
        const int target = PassCount() + passes;
        return WaitUntil([&] { return PassCount() >= target; }, timeoutMs, 50);
    }

    // A command's answer, from a copy of the executable under another name (a copy of the same
    // name would be turned away while the service runs in the same session under Wine).
    CapturedRun Control(const std::wstring& words, DWORD timeoutMs = 30000)
    {
        const std::wstring control = dir / L"QuorbelCtl.exe";
        if (!FileExists(control)) {
            CopyInto(std::wstring(QUORBEL_DIST_DIR) + L"\\" + kServiceExe, control);
        }
        return RunProgramCapturingOutput(control, words, timeoutMs);
    }

    std::vector<std::wstring> ListLines(const std::wstring& words = L"list")
    {
        return OutputLinesOf(Widened(Control(words).output));
    }

    // The list line of the entry, empty when there is none.
    std::wstring ListLineOf(const std::wstring& name, const std::wstring& words = L"list")
    {
        for (const std::wstring& line : ListLines(words)) {
            if (line.compare(0, name.size() + 1, name + L" ") == 0) {
                return line;
            }
        }
        return std::wstring();
    }

    void AddEntry(const std::wstring& name, const std::wstring& path,
                  const wchar_t* status = L"1")
    {
        SetString(EntryKey(name), L"Path", path);
        SetString(EntryKey(name), L"Status", status);
    }

    // Ends the program's first run once its console is gone; restartMs: until it was back.
    void EndFirstRun(const std::wstring& path, DWORD& restartMs)
    {
        const StartRecord first = StartsOf(path).front();
        ASSERT_TRUE(WaitUntil([&] { return !IsProcessAlive(first.parentId); }, 10000));
        TerminateById(first.processId);
        const DWORD endedAt = GetTickCount();
        ASSERT_TRUE(WaitUntil([&] { return StartsOf(path).size() >= 2; }, 20000, 10))
            << Utf8(ServiceLog());
        restartMs = GetTickCount() - endedAt;
    }

    // The moments at which new starts of the program were seen, polling every 10 ms.
    std::vector<DWORD> WatchStarts(const std::wstring& path, size_t count, DWORD timeoutMs)
    {
        std::vector<DWORD> seenAt;
        WaitUntil(
            [&] {
                while (seenAt.size() < StartsOf(path).size()) {
                    seenAt.push_back(GetTickCount());
                }
                return seenAt.size() >= count;
            },
            timeoutMs, 10);
        return seenAt;
    }

    // A copy of the liveness fixture, told what to do by its ".alive" file, added through the
    // command line with the shortest hang timeout and the check given.
    std::wstring AliveProgram(const std::wstring& name, const std::string& settings,
                              const std::wstring& checkOption)
    {
        const std::wstring path = Program(name.substr(0, name.size() - 4), name, L"fixture_alive.exe");
        EXPECT_TRUE(WriteTextFile(path + L".alive", settings));
        const CapturedRun added =
            Control(L"add --hang-timeout 5 " + checkOption + L" \"" + path + L"\"");
        EXPECT_EQ(0u, added.exitCode) << added.output;
        return path;
    }

    ScratchDir dir{L"system_watch_engine"};
    DWORD servicePid = 0;
    std::vector<std::wstring> programNames;
};

TEST_F(WatchEngineTest, WatchedProgramIsStartedUnderTheServicesConsoleWhichEndsOnceItRuns)
{
    const std::wstring watched = Program(L"a", L"Watched.exe");
    AddEntry(L"Watched.exe", watched);
    ConsoleSightings consoles;

    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    ASSERT_TRUE(WaitUntil(
        [&] {
            consoles.Look();
            return !StartsOf(watched).empty();
        },
        20000, 10))
        << Utf8(ServiceLog());

    const StartRecord first = StartsOf(watched).front();
    EXPECT_NE(consoles.ParentOf(first.parentId), 0u)
        << "the program's parent " << first.parentId << " was never seen as a cmd.exe";
    EXPECT_EQ(consoles.ParentOf(first.parentId), servicePid)
        << "console " << first.parentId << " of the program was not started by the service";
    EXPECT_TRUE(WaitUntil([] { return !ProcessIdsByName(kCompanion).empty(); }, 20000))
        << "the companion was not started";

    // The program comes up at once, so its console is ended a second after the start; how soon
    // an ended program is back is the long interval's test.
    EXPECT_TRUE(WaitUntil([&] { return !IsProcessAlive(first.parentId); }, 10000));
    EXPECT_TRUE(IsProcessAlive(first.processId));

    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

// On a 64-bit Windows the 32-bit build's service is a WOW64 process, and so is the cmd.exe it
// starts: System32 is SysWOW64 to it. A 64-bit program still starts through that console, as a
// 64-bit process.
TEST_F(WatchEngineTest, UnderWow64The32BitConsoleStartsA64BitProgram)
{
    if (!ProcessIsWow64(GetCurrentProcessId()).value_or(false)) {
        GTEST_SKIP() << "only the 32-bit build on a 64-bit Windows runs under WOW64";
    }
    const std::wstring program = dir / L"Programs\\Native64.exe";
    programNames.push_back(L"Native64.exe");
    ASSERT_TRUE(CopyInto(std::wstring(QUORBEL_X64_TESTBIN_DIR) + L"\\fixture_sleeper.exe", program))
        << "no 64-bit build's fixture in " << Utf8(QUORBEL_X64_TESTBIN_DIR);
    AddEntry(L"Native64.exe", program);

    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    EXPECT_EQ(ProcessIsWow64(servicePid).value_or(false), true) << "the service is not a WOW64 process";
    // The console lives about a second after the start: it is asked as soon as the start shows.
    std::optional<bool> consoleIsWow64;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::vector<StartRecord> starts = StartsOf(program);
            if (!starts.empty()) {
                consoleIsWow64 = ProcessIsWow64(starts.front().parentId);
            }
            return !starts.empty();
        },
        20000, 10))
        << Utf8(ServiceLog());
    EXPECT_EQ(consoleIsWow64.value_or(false), true)
        << (consoleIsWow64 ? "the console is a 64-bit process" : "the console had ended");
    const StartRecord start = StartsOf(program).front();
    const std::optional<bool> programIsWow64 = ProcessIsWow64(start.processId);
    ASSERT_TRUE(programIsWow64.has_value()) << "program " << start.processId << " cannot be asked";
    EXPECT_FALSE(*programIsWow64) << "the 64-bit program runs as a 32-bit one";

    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

// How names match in any case is the pass's unit test.
TEST_F(WatchEngineTest, PausedAndRemovedEntriesAreLeftAlone)
{
    const std::wstring pausedRunning = Program(L"p1", L"PausedRunning.exe");
    const std::wstring pausedStopped = Program(L"p2", L"PausedStopped.exe");
    const std::wstring removed = Program(L"r", L"Removed.exe");
    for (const std::wstring& path : {pausedRunning, removed}) {
        ASSERT_NE(0u, StartRecorded(path)) << Utf8(path);
    }
    AddEntry(L"PausedRunning.exe", pausedRunning, L"0");
    AddEntry(L"PausedStopped.exe", pausedStopped, L"0");
    AddEntry(L"Removed.exe", removed);

    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    ASSERT_TRUE(WaitForPasses(1, 20000)) << Utf8(ServiceLog());

    ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, EntryKey(L"Removed.exe").c_str()), ERROR_SUCCESS);
    ASSERT_TRUE(WaitForPasses(1, 20000));
    TerminateAllByName(L"Removed.exe");
    ASSERT_TRUE(WaitForPasses(5, 30000)) << Utf8(ServiceLog());

    EXPECT_EQ(StartsOf(removed).size(), 1u) << "the removed entry was started again";
    EXPECT_TRUE(StartsOf(pausedStopped).empty()) << "the paused entry was started";
    EXPECT_EQ(ProcessIdsByName(L"PausedRunning.exe").size(), 1u)
        << "the running paused program was stopped";
    EXPECT_EQ(StartsOf(pausedRunning).size(), 1u);

    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

TEST_F(WatchEngineTest, WithoutALoggedOnUserNothingIsStartedAndTheServiceStopsCleanly)
{
    SetString(kWtsFixtureKey, L"Mode", L"none");
    const std::wstring watched = Program(L"a", L"Unattended.exe");
    AddEntry(L"Unattended.exe", watched);

    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    const std::wstring idle = L"no one logged on: nothing started";
    ASSERT_TRUE(WaitUntil([&] { return Occurrences(ServiceLog(), idle) >= 2; }, 30000, 50))
        << Utf8(ServiceLog());

    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(StartsOf(watched).empty());
    EXPECT_TRUE(ProcessIdsByName(kCompanion).empty());
    for (DWORD console : ProcessIdsByName(L"cmd.exe")) {
        EXPECT_NE(ParentProcessId(console), servicePid) << "console " << console;
    }
    const std::wstring log = ServiceLog();
    EXPECT_EQ(log.find(L"no one logged in"), std::wstring::npos) << "a launch was tried\n"
                                                                  << Utf8(log);

    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

TEST_F(WatchEngineTest, PathsThatCmdWouldSplitStartTheirOwnProgramAndNothingElse)
{
    CreateDirectoryW((dir / L"Programs\\Program Files (x86)").c_str(), nullptr);
    const std::wstring vendor = Program(L"Program Files (x86)\\Some Vendor", L"VendorApp.exe");
    const std::wstring research = Program(L"R&D", L"RnD.exe");
    AddEntry(L"VendorApp.exe", vendor);
    AddEntry(L"RnD.exe", research);
    // With the path split at "&", cmd.exe would run the second command and write the marker.
    const std::wstring marker = dir / L"marker.txt";
    AddEntry(L"Injected.exe", dir / (L"Programs\\nosuch.exe&echo injected>" + marker));
    AddEntry(L"NoPath.exe", L"");

    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    ASSERT_TRUE(WaitUntil([&] { return !StartsOf(vendor).empty() && !StartsOf(research).empty(); },
                          30000))
        << Utf8(ServiceLog());
    ASSERT_TRUE(WaitForPasses(3, 30000)) << Utf8(ServiceLog());

    EXPECT_EQ(StartsOf(vendor).size(), 1u) << "kept running, not started again";
    EXPECT_EQ(StartsOf(research).size(), 1u);
    EXPECT_FALSE(FileExists(marker)) << "cmd.exe ran a command hidden in a path";
    const std::wstring log = ServiceLog();
    EXPECT_NE(log.find(L"Running Process VendorApp.exe"), std::wstring::npos) << Utf8(log);
    EXPECT_NE(log.find(L"Running Process RnD.exe"), std::wstring::npos) << Utf8(log);
    EXPECT_NE(log.find(L"<ERROR> no program path for NoPath.exe"), std::wstring::npos);
    EXPECT_EQ(log.find(L"watchList[0] : NoPath.exe path : \r\n"), std::wstring::npos);

    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

TEST_F(WatchEngineTest, ProgramThatEndsIsBackWithinALaunchAtALongInterval)
{
    SetString(kWatchListKey, L"Interval", L"60000");
    const std::wstring watched = Program(L"a", L"LongWait.exe");
    AddEntry(L"LongWait.exe", watched);
    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    ASSERT_TRUE(WaitUntil([&] { return !StartsOf(watched).empty(); }, 20000)) << Utf8(ServiceLog());
    const StartRecord first = StartsOf(watched).front();
    DWORD restartMs = 0;
    ASSERT_NO_FATAL_FAILURE(EndFirstRun(watched, restartMs));
    // It ran less than 10 s, so the restart waits 1 s; before, the next pass came after 60 s.
    EXPECT_LE(restartMs, 1000u + 2500u) << "restarted after " << restartMs << " ms";
    const std::wstring log = ServiceLog();
    EXPECT_NE(log.find(L"LongWait.exe process " + std::to_wstring(first.processId) +
                       L" ended, exit code 1"),
              std::wstring::npos)
        << Utf8(log);
    EXPECT_NE(log.find(L"LongWait.exe runs, process id " + std::to_wstring(first.processId)),
              std::wstring::npos)
        << Utf8(log);
    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

TEST_F(WatchEngineTest, BulkImportIsStartedInParallelAtOnceEachEntryOnceUpToTheCap)
{
    ASSERT_NO_FATAL_FAILURE(BringServiceUpIdle());

    // The list's order is the names' order: the first 256 are watched, the burst of starts
    // takes the first of them at once and the pace the rest, and the last 44 are never started.
    constexpr int kEntries = 300;
    constexpr size_t kWatched = 256;
    constexpr size_t kBurst = 64;
    std::vector<std::wstring> paths;
    for (int i = 0; i < kEntries; ++i) {
        const std::wstring name = L"Bulk" + std::to_wstring(1000 + i) + L".exe";
        paths.push_back(Program(L"bulk" + std::to_wstring(i), name));
    }
    const DWORD importedAt = GetTickCount();
    for (int i = 0; i < kEntries; ++i) {
        AddEntry(L"Bulk" + std::to_wstring(1000 + i) + L".exe", paths[i]);
    }
    const auto started = [&](size_t count) {
        for (size_t i = 0; i < count; ++i) {
            if (StartsOf(paths[i]).empty()) {
                return false;
            }
        }
        return true;
    };
    ASSERT_TRUE(WaitUntil([&] { return started(kBurst); }, 60000, 20)) << Utf8(ServiceLog());
    std::printf("the first %zu entries running after %lu ms\n", kBurst,
                static_cast<unsigned long>(GetTickCount() - importedAt));
    // The rest come at two a second.
    ASSERT_TRUE(WaitUntil([&] { return started(kWatched); }, (kWatched - kBurst) * 500 + 60000,
                          200))
        << Utf8(ServiceLog());
    std::printf("all %zu watched entries running after %lu ms\n", kWatched,
                static_cast<unsigned long>(GetTickCount() - importedAt));
    // Passes that find them all running: a second start of any of them would come now.
    SetString(kWatchListKey, L"Interval", L"1000");
    ASSERT_TRUE(WaitForPasses(3, 30000));
    std::vector<DWORD> running;
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::vector<StartRecord> starts = StartsOf(paths[i]);
        EXPECT_EQ(starts.size(), i < kWatched ? 1u : 0u) << Utf8(paths[i]);
        for (const StartRecord& start : starts) {
            running.push_back(start.processId);
        }
    }
    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
    // Ended by their ids: a look at the processes for each of the names takes long with them all.
    for (DWORD processId : running) {
        TerminateById(processId);
    }
}

TEST_F(WatchEngineTest, StopDuringABulkStartEndsEveryConsoleTheServiceStarted)
{
    ASSERT_NO_FATAL_FAILURE(BringServiceUpIdle());
    // Each console runs a starter that brings the entry's program up only after 5 s, so every
    // console the service started is still there, its program not up, when the stop comes.
    constexpr int kEntries = 40;
    for (int i = 0; i < kEntries; ++i) {
        const std::wstring folder = L"late" + std::to_wstring(i);
        const std::wstring name = L"Late" + std::to_wstring(i) + L".exe";
        const std::wstring target = Program(folder, name);
        const std::wstring starter =
            Program(folder, L"Starter" + std::to_wstring(i) + L".exe", L"fixture_late_start.exe");
        ASSERT_TRUE(WriteTextFile(starter + L".target", "5000\n" + Utf8(target) + "\n"));
        AddEntry(name, starter);
    }
    ConsoleSightings sightings;
    const auto serviceConsoles = [&] {
        std::vector<DWORD> consoles;
        sightings.Look();
        for (DWORD console : ProcessIdsByName(L"cmd.exe")) {
            if (sightings.ParentOf(console) == servicePid) {
                consoles.push_back(console);
            }
        }
        return consoles;
    };
    std::vector<DWORD> seen;
    ASSERT_TRUE(WaitUntil([&] { return !(seen = serviceConsoles()).empty(); }, 30000, 5))
        << Utf8(ServiceLog());

    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();

    int launched = 0;
    for (const std::wstring& line : OutputLinesOf(ServiceLog())) {
        launched += line.find(L" : /c \"\"") != std::wstring::npos &&
                    line.find(L"Starter") != std::wstring::npos;
    }
    std::printf("%zu consoles seen at the stop, %d of %d launched\n", seen.size(), launched,
                kEntries);
    EXPECT_TRUE(WaitUntil([&] { return serviceConsoles().empty(); }, 5000, 20))
        << serviceConsoles().size() << " consoles left\n"
        << Utf8(ServiceLog());
    for (DWORD console : seen) {
        EXPECT_FALSE(IsProcessAlive(console)) << console;
    }
}

TEST_F(WatchEngineTest, CrashLoopBacksOffWithGrowingGapsAndAnEditGivesAFreshStart)
{
    const std::wstring looping = Program(L"loop", L"Looping.exe");
    // 0xC0000005, as a crash ends.
    ASSERT_TRUE(WriteTextFile(looping + L".exit", "-1073741819"));
    AddEntry(L"Looping.exe", looping);
    ASSERT_NO_FATAL_FAILURE(BringServiceUp());

    // Held 1, 2 and 4 s after the first three quick exits: four starts in about 8 s.
    const std::vector<DWORD> starts = WatchStarts(looping, 4, 30000);
    ASSERT_EQ(starts.size(), 4u) << Utf8(ServiceLog());
    for (size_t i = 2; i < starts.size(); ++i) {
        EXPECT_GT(starts[i] - starts[i - 1], starts[i - 1] - starts[i - 2])
            << "gap " << i << " did not grow";
    }
    EXPECT_GE(starts[3] - starts[2], 4000u);
    std::wstring line;
    ASSERT_TRUE(WaitUntil(
        [&] {
            line = ListLineOf(L"Looping.exe");
            return line.find(L"backing off, next start in ") != std::wstring::npos;
        },
        10000, 200))
        << Utf8(line);
    EXPECT_NE(line.find(L"exit code 0xC0000005 (access violation)"), std::wstring::npos)
        << Utf8(line);
    EXPECT_NE(line.find(L"restarts 3"), std::wstring::npos) << Utf8(line);
    EXPECT_NE(line.find(L"; crashed: 0xC0000005 (access violation) at 20"), std::wstring::npos)
        << Utf8(line);
    EXPECT_NE(Control(L"list --json").output.find("\"crash\": \"crashed: 0xC0000005 (access violation)\""),
              std::string::npos);
    EXPECT_NE(ServiceLog().find(L"crashed: 0xC0000005 (access violation)"),
              std::wstring::npos)
        << Utf8(ServiceLog());
    EXPECT_NE(ServiceLog().find(L"Looping.exe backing off: quick exit 4 in a row, next start in 8 s"),
              std::wstring::npos)
        << Utf8(ServiceLog());

    // A fix of the entry clears the count: it starts at once. Here the fix is a program that
    // stays up, and its path written again in another spelling.
    DeleteFileW((looping + L".exit").c_str());
    const DWORD editedAt = GetTickCount();
    SetString(EntryKey(L"Looping.exe"), L"Path", dir / L"Programs\\LOOP\\Looping.exe");
    ASSERT_TRUE(WaitUntil([&] { return StartsOf(looping).size() >= 5; }, 10000, 10))
        << Utf8(ServiceLog());
    EXPECT_LE(GetTickCount() - editedAt, 3000u) << Utf8(ServiceLog());
    EXPECT_NE(ServiceLog().find(L"watch list changed: quick exit counts cleared"),
              std::wstring::npos);
    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

TEST_F(WatchEngineTest, ListAndCheckTellTheTruthOfRunsRestartsAHandOverAndAStopAndStartOfTheService)
{
    const std::wstring steady = Program(L"s", L"Steady.exe");
    const std::wstring restarted = Program(L"r", L"Restarted.exe");
    AddEntry(L"Steady.exe", steady);
    AddEntry(L"Restarted.exe", restarted);
    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    ASSERT_TRUE(WaitUntil([&] { return !StartsOf(steady).empty() && !StartsOf(restarted).empty(); },
                          20000))
        << Utf8(ServiceLog());
    // Ended once the service waits on it, so that its end is seen rather than found.
    const DWORD firstRun = StartsOf(restarted).front().processId;
    ASSERT_TRUE(WaitUntil(
        [&] {
            return ServiceLog().find(L"Restarted.exe runs, process id " +
                                     std::to_wstring(firstRun)) != std::wstring::npos;
        },
        10000))
        << Utf8(ServiceLog());
    TerminateById(firstRun);
    ASSERT_TRUE(WaitUntil([&] { return StartsOf(restarted).size() >= 2; }, 20000))
        << Utf8(ServiceLog());

    const std::wstring steadyPid = std::to_wstring(StartsOf(steady).front().processId);
    const std::wstring restartedPid = std::to_wstring(StartsOf(restarted).back().processId);
    std::wstring steadyLine;
    std::wstring line;
    EXPECT_TRUE(WaitUntil(
        [&] {
            steadyLine = ListLineOf(L"Steady.exe");
            line = ListLineOf(L"Restarted.exe");
            // TerminateById ends a process with exit code 1. A pass may find the program gone
            // before its wait tells the end: the exit code follows with the next pass.
            return steadyLine.find(L"running, pid " + steadyPid + L", up ") != std::wstring::npos &&
                   line.find(L"running, pid " + restartedPid) != std::wstring::npos &&
                   line.find(L"exit code 1 ") != std::wstring::npos;
        },
        10000, 200))
        << Utf8(steadyLine) << "\n" << Utf8(line);
    EXPECT_NE(steadyLine.find(L"restarts 0"), std::wstring::npos) << Utf8(steadyLine);
    EXPECT_NE(line.find(L"restarts 1"), std::wstring::npos) << Utf8(line);
    // The columns line up: the paths begin at the same place.
    EXPECT_EQ(steadyLine.find(steady), line.find(restarted))
        << Utf8(steadyLine) << "\n" << Utf8(line);
    EXPECT_EQ(L"QuorbelService: running", ListLines().front());
    CapturedRun check = Control(L"check");
    EXPECT_EQ(0u, check.exitCode) << check.output;

    // Deleted by hand, the published state comes back with the next passes.
    ASSERT_EQ(ERROR_SUCCESS, DeleteStateKey());
    EXPECT_TRUE(WaitUntil(
        [&] { return ListLineOf(L"Restarted.exe").find(L"restarts 1") != std::wstring::npos; },
        10000, 200))
        << Utf8(ListLineOf(L"Restarted.exe"));

    // A hand-over, as a single-instance program makes one: a second copy comes up and the first
    // ends. The list shows the copy that runs, never the one that is gone.
    const DWORD handedFrom = StartsOf(restarted).back().processId;
    const DWORD second = StartRecorded(restarted);
    ASSERT_NE(0u, second);
    const std::wstring handedTo = std::to_wstring(second);
    TerminateById(handedFrom);
    EXPECT_TRUE(WaitUntil(
        [&] {
            line = ListLineOf(L"Restarted.exe");
            return line.find(L"running, pid " + handedTo + L", up ") != std::wstring::npos;
        },
        10000, 200))
        << Utf8(line);

    // The program outlives the service, and the list says both.
    ASSERT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
    EXPECT_EQ(L"QuorbelService: stopped", ListLines().front());
    line = ListLineOf(L"Restarted.exe");
    EXPECT_NE(line.find(L"running, pid " + handedTo + L", up "), std::wstring::npos) << Utf8(line);
    check = Control(L"check");
    EXPECT_EQ(5u, check.exitCode) << check.output;

    // Once it is gone its old process id is not shown; the count stays until the next boot and
    // goes on after a start of the service.
    TerminateById(second);
    ASSERT_TRUE(WaitUntil([&] { return ProcessIdsByName(L"Restarted.exe").empty(); }, 10000));
    line = ListLineOf(L"Restarted.exe");
    EXPECT_EQ(line.find(L"pid"), std::wstring::npos) << Utf8(line);
    EXPECT_NE(line.find(L"not running"), std::wstring::npos) << Utf8(line);
    EXPECT_NE(line.find(L"restarts 1"), std::wstring::npos) << Utf8(line);
    const size_t startsBefore = StartsOf(restarted).size();
    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    ASSERT_TRUE(WaitUntil([&] { return StartsOf(restarted).size() > startsBefore; }, 20000))
        << Utf8(ServiceLog());
    EXPECT_TRUE(WaitUntil(
        [&] {
            line = ListLineOf(L"Restarted.exe");
            return line.find(L"restarts 2") != std::wstring::npos &&
                   line.find(L"running, pid ") != std::wstring::npos;
        },
        10000, 200))
        << Utf8(line);

    // A relaunch of a program without a window ends its process, and the service starts it again
    // at once.
    const DWORD current = StartsOf(restarted).back().processId;
    const std::wstring twin = dir / L"QuorbelCtl.com";
    ASSERT_TRUE(CopyInto(std::wstring(QUORBEL_DIST_DIR) + L"\\QuorbelService.com", twin));
    const CapturedRun relaunch = RunProgramCapturingOutput(twin, L"relaunch Restarted.exe");
    EXPECT_EQ(0u, relaunch.exitCode) << relaunch.output;
    EXPECT_NE(relaunch.output.find("Restarted.exe has no window to close: ended (process " +
                                   std::to_string(current) + ")\r\nRestarted.exe runs again"),
              std::string::npos)
        << relaunch.output;
    EXPECT_NE(ServiceLog().find(L"Restarted.exe relaunched by its user"), std::wstring::npos);
    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

TEST_F(WatchEngineTest, StartsThatFailSayWhyInListJsonAndCheckAndCountNoRestart)
{
    const std::wstring present = Program(L"f", L"NoFolder.exe");
    const std::wstring relative = Program(L"r", L"Relative.exe");
    const std::wstring tooLong = Program(L"l", L"TooLong.exe");
    const std::wstring nowhere = dir / L"Programs\\nowhere";
    AddEntry(L"Missing.exe", dir / L"Programs\\Missing.exe");
    // Without a Directory of its own it would start in its folder, which is gone with it.
    AddEntry(L"Gone.exe", dir / L"Programs\\gone\\Gone.exe");
    AddEntry(L"NoFolder.exe", present);
    SetString(EntryKey(L"NoFolder.exe"), L"Directory", nowhere);
    AddEntry(L"Relative.exe", relative);
    SetString(EntryKey(L"Relative.exe"), L"Directory", L"rel\\dir");
    AddEntry(L"TooLong.exe", tooLong);
    SetString(EntryKey(L"TooLong.exe"), L"Arguments", std::wstring(8200, L'x'));
    const std::map<std::wstring, std::wstring> reasons = {
        {L"Missing.exe", L"program not found (exit code 9009)"},
        {L"Gone.exe", L"program not found, nor its folder (error 267)"},
        {L"NoFolder.exe", L"directory not found: " + nowhere + L" (error 267)"},
        {L"Relative.exe", L"Directory \"rel\\dir\" is not absolute (error 161)"},
        {L"TooLong.exe", L"command line too long (error 206)"},
    };
    ASSERT_NO_FATAL_FAILURE(BringServiceUp());

    std::vector<std::wstring> lines;
    const auto allSayWhy = [&] {
        lines = ListLines();
        for (const auto& reason : reasons) {
            const auto line = std::find_if(lines.begin(), lines.end(), [&](const std::wstring& l) {
                return l.find(reason.first + L" ") == 0;
            });
            if (line == lines.end() || line->find(L"; " + reason.second) == std::wstring::npos ||
                line->find(L"restarts 0") == std::wstring::npos) {
                return false;
            }
        }
        return true;
    };
    EXPECT_TRUE(WaitUntil(allSayWhy, 20000, 250)) << Utf8(JoinedLines(lines));
    const CapturedRun check = Control(L"check");
    EXPECT_EQ(1u, check.exitCode) << check.output;
    for (const auto& reason : reasons) {
        EXPECT_NE(check.output.find(Utf8(reason.first + L": ")), std::string::npos)
            << check.output;
    }
    const CapturedRun json = Control(L"list --json");
    EXPECT_NE(json.output.find("\"reason\": \"command line too long (error 206)\""),
              std::string::npos)
        << json.output;
    EXPECT_NE(ServiceLog().find(L"refuse Directory \"rel\\dir\" : not absolute"),
              std::wstring::npos);

    // restart of an active entry that the service holds back lets it start now, its count kept;
    // the request counts once a minute.
    const CapturedRun restart = Control(L"restart NoFolder.exe");
    EXPECT_EQ(0u, restart.exitCode) << restart.errors;
    EXPECT_EQ(0u, restart.output.find("NoFolder.exe ")) << restart.output;
    EXPECT_NE(restart.output.find(" now; its count of quick exits in a row ("), std::string::npos)
        << restart.output;
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ServiceLog().find(L"NoFolder.exe: a start now was asked for, its wait is "
                                     L"cleared") != std::wstring::npos;
        },
        5000))
        << Utf8(ServiceLog());
    // Its folder is there, so cmd.exe starts and ends with 9009.
    EXPECT_TRUE(WaitUntil(
        [&] {
            return ServiceLog().find(L"Missing.exe cannot be found: cmd.exe ended with 9009") !=
                   std::wstring::npos;
        },
        5000))
        << Utf8(ServiceLog());

    // After a clean stop nothing is backing off any more.
    ASSERT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
    for (const std::wstring& line : ListLines()) {
        EXPECT_EQ(line.find(L"backing off"), std::wstring::npos) << Utf8(line);
    }
}

TEST_F(WatchEngineTest, IntervalIsKeptInBoundsReadAsADwordAndChangedDuringALongWait)
{
    SetString(kWatchListKey, L"Interval", L"4294967296");
    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    ASSERT_TRUE(WaitUntil([&] { return ServiceLog().find(L"setInterval : ") != std::wstring::npos; },
                          20000))
        << Utf8(ServiceLog());
    std::wstring log = ServiceLog();
    EXPECT_NE(log.find(L"setInterval : 86400000"), std::wstring::npos) << Utf8(log);
    EXPECT_NE(log.find(L"Interval \"4294967296\" is out of range, 86400000 ms used"),
              std::wstring::npos)
        << Utf8(log);
    // Every interval set so far is the longest: none wrapped round to a short one.
    EXPECT_EQ(Occurrences(log, L"setInterval : "), Occurrences(log, L"setInterval : 86400000\r\n"))
        << Utf8(log);

    // Written as a REG_DWORD while the service waits out its day: passes follow at once.
    const DWORD halfSecond = 500;
    RegSetKeyValueW(HKEY_CURRENT_USER, kWatchListKey, L"Interval", REG_DWORD, &halfSecond,
                    sizeof(halfSecond));
    EXPECT_TRUE(WaitForPasses(4, 10000)) << Utf8(ServiceLog());
    EXPECT_NE(ServiceLog().find(L"setInterval : 500"), std::wstring::npos) << Utf8(ServiceLog());
    const std::vector<std::wstring> lines = ListLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), L"Interval: 500 ms");

    const DWORD tooShort = 0;
    RegSetKeyValueW(HKEY_CURRENT_USER, kWatchListKey, L"Interval", REG_DWORD, &tooShort,
                    sizeof(tooShort));
    ASSERT_TRUE(WaitUntil([&] { return ListLines().back().find(L"Interval: 500 ms (set to 0") == 0; },
                          5000, 100))
        << Utf8(ListLines().back());
    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

TEST_F(WatchEngineTest, AfterTheBaseKeyIsRenamedTheKeyAtThePathIsWatched)
{
    const std::wstring before = Program(L"before", L"BeforeRename.exe");
    const std::wstring after = Program(L"after", L"AfterRename.exe");
    AddEntry(L"BeforeRename.exe", before);
    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    ASSERT_TRUE(WaitUntil([&] { return !StartsOf(before).empty(); }, 20000)) << Utf8(ServiceLog());

    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\QUORBEL", 0, KEY_ALL_ACCESS, &parent),
              ERROR_SUCCESS);
    const LONG renamed = RegRenameKey(parent, L"QuorbelService", L"QuorbelServiceOld");
    RegCloseKey(parent);
    ASSERT_EQ(renamed, ERROR_SUCCESS);
    SetString(kWatchListKey, L"Interval", std::to_wstring(kIntervalMs));
    AddEntry(L"AfterRename.exe", after);

    // At once when the rename is notified; otherwise at the once-a-minute look at the key.
    EXPECT_TRUE(WaitUntil([&] { return !StartsOf(after).empty(); }, 75000, 50))
        << Utf8(ServiceLog());
    EXPECT_NE(ServiceLog().find(L"the watched key is no longer the watch list"),
              std::wstring::npos)
        << Utf8(ServiceLog());
    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\QUORBEL\\QuorbelServiceOld");
}

TEST_F(WatchEngineTest, StopIsPromptWithAThousandEntriesThatCannotStart)
{
    for (int i = 0; i < 1000; ++i) {
        const std::wstring name = L"Missing" + std::to_wstring(i) + L".exe";
        AddEntry(name, dir / (L"Programs\\" + name));
    }
    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    // Well into the first pass over the list.
    ASSERT_TRUE(WaitUntil([&] { return ServiceLog().find(L"watchList[2] : ") != std::wstring::npos; },
                          30000))
        << Utf8(ServiceLog());

    const ULONGLONG before = GetTickCount64();
    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
    const ULONGLONG took = GetTickCount64() - before;
    std::printf("stopped after %llu ms\n", took);
    // Before, the pass went on through all thousand entries, a second each.
    EXPECT_LT(took, 10000u);
    EXPECT_EQ(ServiceLog().find(L"watchList[999] : "), std::wstring::npos);
}

}  // namespace

namespace {

// The record fixture_argv wrote at its last start: its directory, then its arguments.
std::vector<std::string> ArgvRecord(const std::wstring& program)
{
    const std::string bytes = ReadFileBytes(program + L".argv");
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = bytes.find('\n'); end != std::string::npos; end = bytes.find('\n', start)) {
        lines.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

TEST_F(WatchEngineTest, AddedArgumentsReachTheProgramAsTypedInItsOwnOrTheEntrysDirectory)
{
    const std::wstring program = Program(L"with blank", L"ArgvProbe.exe", L"fixture_argv.exe");
    const std::wstring folder = dir / L"Programs\\with blank";

    // Typed as a user would; cmd.exe must take none of it as a command of its own.
    const CapturedRun add = RunProgramCapturingOutput(
        dir / kServiceExe, L"add \"" + program + L"\" --name \"a b\" x&y (z) ^@");
    ASSERT_EQ(add.exitCode, 0u) << add.output;

    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    ASSERT_TRUE(WaitUntil([&] { return ArgvRecord(program).size() >= 2; }, 20000, 20))
        << Utf8(ServiceLog());
    const std::vector<std::string> started = {Utf8(folder), "--name", "a b", "x&y", "(z)", "^@"};
    EXPECT_EQ(ArgvRecord(program), started);

    // With a Directory of its own the entry starts there.
    const std::wstring elsewhere = dir / L"Programs\\elsewhere";
    CreateDirectoryW(elsewhere.c_str(), nullptr);
    SetString(EntryKey(L"ArgvProbe.exe"), L"Directory", elsewhere);
    DeleteFileW((program + L".argv").c_str());
    TerminateAllByName(L"ArgvProbe.exe");
    ASSERT_TRUE(WaitUntil([&] { return ArgvRecord(program).size() >= 2; }, 20000, 20))
        << Utf8(ServiceLog());
    EXPECT_EQ(ArgvRecord(program).front(), Utf8(elsewhere));

    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

TEST_F(WatchEngineTest, ProgramsThatStopBeatingOrAnsweringTheirPortAreEndedAndBackWhileOneThatAnswersStays)
{
    const int stoppingPort = FreeLoopbackPort();
    const int steadyPort = FreeLoopbackPort();
    ASSERT_NE(0, stoppingPort);
    const std::wstring beatFile = dir / L"Programs\\beat.txt";
    // Two stop three seconds after each start; the third answers all along.
    const std::wstring beating = AliveProgram(L"Beating.exe", "file " + Utf8(beatFile) +
                                              "\n3000", L"--alive-file " + beatFile);
    const std::wstring listening =
        AliveProgram(L"Listening.exe", "port " + std::to_string(stoppingPort) + "\n3000",
                     L"--alive-port " + std::to_wstring(stoppingPort));
    const std::wstring steady =
        AliveProgram(L"Steady.exe", "port " + std::to_string(steadyPort) + "\n0",
                     L"--alive-port " + std::to_wstring(steadyPort));

    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    ASSERT_TRUE(WaitUntil([&] { return !StartsOf(beating).empty() && !StartsOf(listening).empty() &&
                                       !StartsOf(steady).empty(); },
                          20000))
        << Utf8(ServiceLog());
    const DWORD startedAt = GetTickCount();
    const DWORD firstBeating = StartsOf(beating).front().processId;
    const DWORD firstListening = StartsOf(listening).front().processId;

    // Each is ended and started again within its timeout and a few seconds of its stop: a look
    // every two seconds, the pass the failure wakes, and a start.
    const DWORD allowanceMs = 3000 + 5000 + 6000;
    ASSERT_TRUE(WaitUntil([&] { return StartsOf(beating).size() >= 2 && StartsOf(listening).size() >= 2; },
                          allowanceMs + 15000))
        << Utf8(ServiceLog());
    const DWORD backMs = GetTickCount() - startedAt;
    EXPECT_LE(backMs, allowanceMs) << Utf8(ServiceLog());
    EXPECT_FALSE(IsProcessAlive(firstBeating));
    EXPECT_FALSE(IsProcessAlive(firstListening));
    const std::wstring log = ServiceLog();
    EXPECT_NE(log.find(L"Beating.exe: not responding: no heartbeat in "), std::wstring::npos)
        << Utf8(log);
    EXPECT_NE(log.find(L" s (" + beatFile + L"), ended (process "), std::wstring::npos) << Utf8(log);
    EXPECT_NE(log.find(L"Listening.exe: not responding: port " + std::to_wstring(stoppingPort) +
                       L" refused for "),
              std::wstring::npos)
        << Utf8(log);
    // The one that answers was looked at all along and left alone.
    EXPECT_EQ(1u, StartsOf(steady).size());
    EXPECT_EQ(log.find(L"Steady.exe: not responding"), std::wstring::npos) << Utf8(log);

    // list tells what failed and when; list -v and --json the check and its last look.
    ASSERT_TRUE(WaitUntil([&] { return ListLineOf(L"Listening.exe").find(L"ended as") != std::wstring::npos; },
                          5000));
    const std::wstring line = ListLineOf(L"Listening.exe");
    EXPECT_NE(line.find(L"; ended as not responding at 20"), std::wstring::npos) << Utf8(line);
    EXPECT_NE(line.find(L"(port " + std::to_wstring(stoppingPort) + L" refused for "),
              std::wstring::npos)
        << Utf8(line);
    const std::wstring verbose = JoinedLines(ListLines(L"list -v"));
    EXPECT_NE(verbose.find(L"alive check: port " + std::to_wstring(steadyPort) +
                           L", fails after 5 s; last look: port " + std::to_wstring(steadyPort) +
                           L" accepted"),
              std::wstring::npos)
        << Utf8(verbose);
    const std::string json = Control(L"list --json").output;
    EXPECT_NE(json.find("\"kind\": \"port\",\r\n        \"target\": \"" + std::to_string(steadyPort) +
                        "\",\r\n        \"timeoutSeconds\": 5,\r\n        \"lastResult\": \"port " +
                        std::to_string(steadyPort) + " accepted\",\r\n        \"good\": true"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"notRespondingReason\": \"no heartbeat in "), std::string::npos) << json;
    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

TEST_F(WatchEngineTest, UrlCheckEndsAProgramThatAnswers503AndThenOneThatAcceptsAndNeverAnswers)
{
    const int port = FreeLoopbackPort();
    ASSERT_NE(0, port);
    const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(port) + L"/health";
    const std::wstring web = AliveProgram(L"Web.exe", "http " + std::to_string(port) + "\n0",
                                          L"--alive-url " + url);
    ASSERT_TRUE(WriteTextFile(web + L".answer", "200"));

    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    ASSERT_TRUE(WaitUntil([&] { return ServiceLog().find(L"Web.exe: " + url + L" answered 200") !=
                                       std::wstring::npos; },
                          20000))
        << Utf8(ServiceLog());
    ASSERT_EQ(1u, StartsOf(web).size());

    ASSERT_TRUE(WriteTextFile(web + L".answer", "503"));
    ASSERT_TRUE(WaitUntil([&] { return StartsOf(web).size() >= 2; }, 5000 + 6000 + 10000))
        << Utf8(ServiceLog());
    EXPECT_NE(ServiceLog().find(L"Web.exe: not responding: " + url + L" answered 503 for "),
              std::wstring::npos)
        << Utf8(ServiceLog());

    // A server that takes the connection and never answers holds only its look: the program is
    // ended after its timeout all the same.
    ASSERT_TRUE(WriteTextFile(web + L".answer", "none"));
    ASSERT_TRUE(WaitUntil([&] { return StartsOf(web).size() >= 3; }, 5000 + 5000 + 6000 + 10000))
        << Utf8(ServiceLog());
    EXPECT_NE(ServiceLog().find(L"Web.exe: not responding: " + url + L" did not answer within 5 s"),
              std::wstring::npos)
        << Utf8(ServiceLog());
    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

// A process of the user that is not the companion: it keeps connecting to the service's pipe
// and reporting the program it names as hung, as long as it runs.
class ForgedReports {
public:
    ForgedReports(std::wstring pipeName, DWORD processId)
        : worker([this, pipeName, processId] {
              while (!stop) {
                  ScopedHandle pipe(CreateFileW(pipeName.c_str(), channel::kClientAccess, 0,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
                  channel::Request request;
                  request.kind = channel::kReportHung;
                  request.processId = processId;
                  request.seconds = 0xFFFFFFFF;
                  DWORD bytes = 0;
                  BYTE reply[64];
                  if (pipe && WriteFile(pipe.Get(), &request, sizeof(request), &bytes, nullptr) &&
                      ReadFile(pipe.Get(), reply, sizeof(reply), &bytes, nullptr)) {
                      ++answered;
                  }
                  Sleep(100);
              }
          })
    {
    }
    ~ForgedReports()
    {
        stop = true;
        worker.join();
    }
    std::atomic<int> answered{0};

private:
    std::atomic<bool> stop{false};
    std::thread worker;
};

// Needs a display: run-tests.sh runs the tests named Windowed... under Xvfb.
// A squatter on the pipe's old name, a client that holds a connection and keeps sending forged
// reports: the hang is still ended, and the forged reports end nothing.
TEST_F(WatchEngineTest, WindowedProgramThatStopsAnsweringIsEndedAndBackWhileOneThatAnswersStays)
{
    DWORD session = 0;
    ASSERT_TRUE(FindOwnSessionId(session));
    const std::wstring oldName =
        L"\\\\.\\pipe\\QuorbelService.Companion." + std::to_wstring(session);
    const ScopedHandle squatter(CreateNamedPipeW(oldName.c_str(), PIPE_ACCESS_DUPLEX,
                                                 PIPE_TYPE_MESSAGE, 1, 64, 64, 0, nullptr));
    ASSERT_TRUE(squatter);
    constexpr DWORD kHangTimeoutS = 5;
    const std::wstring frozen = Program(L"f", L"Frozen.exe", L"fixture_window.exe");
    const std::wstring lively = Program(L"l", L"Lively.exe", L"fixture_window.exe");
    // The frozen one's window stops reading its messages three seconds after each start.
    ASSERT_TRUE(WriteTextFile(frozen + L".hang", "3000"));
    AddEntry(L"Frozen.exe", frozen);
    AddEntry(L"Lively.exe", lively);
    SetString(EntryKey(L"Frozen.exe"), L"HangTimeout", std::to_wstring(kHangTimeoutS));
    RegSetKeyValueW(HKEY_CURRENT_USER, EntryKey(L"Lively.exe").c_str(), L"HangTimeout", REG_DWORD,
                    &kHangTimeoutS, sizeof(kHangTimeoutS));

    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    ASSERT_TRUE(WaitUntil([&] { return !StartsOf(frozen).empty() && !StartsOf(lively).empty(); },
                          20000))
        << Utf8(ServiceLog());
    const DWORD firstFrozen = StartsOf(frozen).front().processId;
    EXPECT_NE(ListLineOf(L"Lively.exe").find(L"; hang timeout 5 s"), std::wstring::npos);
    const std::wstring served = L"serving \\\\.\\pipe\\QuorbelService.Companion.";
    ASSERT_TRUE(WaitUntil([&] { return ServiceLog().find(served) != std::wstring::npos; }, 10000));
    const std::wstring log = ServiceLog();
    const size_t nameAt = log.find(served) + std::wstring(L"serving ").size();
    const std::wstring pipeName = log.substr(nameAt, log.find_first_of(L"\r\n", nameAt) - nameAt);
    const ForgedReports forged(pipeName, StartsOf(lively).front().processId);
    ASSERT_TRUE(WaitUntil([&] { return FileExists(frozen + L".hung"); }, 20000));
    const DWORD hungAt = GetTickCount();

    // Ended by the service and started again within the timeout and a few seconds: Wine's
    // IsHungAppWindow (5 s), the companion's two-second rounds and a start.
    const DWORD allowanceMs = kHangTimeoutS * 1000 + 10000;
    ASSERT_TRUE(WaitUntil([&] { return StartsOf(frozen).size() >= 2; }, allowanceMs + 10000))
        << Utf8(ServiceLog());
    const DWORD backMs = GetTickCount() - hungAt;
    EXPECT_LE(backMs, allowanceMs) << "back " << backMs << " ms after its window stopped answering"
                                   << Utf8(ReadAllLogFiles(dir / L"Log"));
    EXPECT_FALSE(IsProcessAlive(firstFrozen));
    const std::wstring ended = ServiceLog();
    EXPECT_NE(ended.find(L"Frozen.exe: not responding for "), std::wstring::npos) << Utf8(ended);
    EXPECT_NE(ended.find(L"is not the companion: not heard"), std::wstring::npos) << Utf8(ended);
    EXPECT_EQ(0, forged.answered.load()) << "a forged report was answered";
    // The window that answers was looked at all along and left alone.
    EXPECT_EQ(1u, StartsOf(lively).size());
    EXPECT_EQ(ended.find(L"Lively.exe: not responding"), std::wstring::npos) << Utf8(ended);
    // list tells the timeout and when the hang watch ended the program.
    const std::wstring frozenLine = ListLineOf(L"Frozen.exe");
    EXPECT_NE(frozenLine.find(L"; hang timeout 5 s; ended as not responding at 20"),
              std::wstring::npos)
        << Utf8(frozenLine);
    EXPECT_EQ(ListLineOf(L"Lively.exe").find(L"not responding"), std::wstring::npos);

    // relaunch asks the window to close, and the service starts the program again at once, with
    // no quick exit counted. A second relaunch within the minute counts as any other end, so that
    // a program cannot ask its way out of its backoff; it is still started again.
    const std::wstring twin = dir / L"QuorbelCtl.com";
    ASSERT_TRUE(CopyInto(std::wstring(QUORBEL_DIST_DIR) + L"\\QuorbelService.com", twin));
    for (size_t runs = 2; runs <= 3; ++runs) {
        const CapturedRun relaunch = RunProgramCapturingOutput(twin, L"relaunch Lively.exe");
        EXPECT_EQ(0u, relaunch.exitCode) << relaunch.output;
        ASSERT_TRUE(WaitUntil([&] { return StartsOf(lively).size() >= runs; }, 5000))
            << relaunch.output << Utf8(ServiceLog());
        EXPECT_NE(relaunch.output.find("Lively.exe closed\r\nLively.exe runs again, process " +
                                       std::to_string(StartsOf(lively).back().processId)),
                  std::string::npos)
            << relaunch.output;
    }
    const std::wstring relaunchLog = ServiceLog();
    const size_t relaunched = relaunchLog.find(L"Lively.exe relaunched by its user");
    EXPECT_NE(relaunched, std::wstring::npos) << Utf8(relaunchLog);
    EXPECT_EQ(relaunchLog.find(L"Lively.exe relaunched by its user", relaunched + 1),
              std::wstring::npos) << Utf8(relaunchLog);
    EXPECT_NE(relaunchLog.find(L"Lively.exe asked for a relaunch again within a minute"),
              std::wstring::npos) << Utf8(relaunchLog);
    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

// A crash reporter is played by the sleeper under a reporter's image name, with a reporter's
// command line: what the service judges is the name and the process the command line names. Where
// dumps of the program are asked for (LocalDumps), the reporter is ended only after 10 s.
TEST_F(WatchEngineTest, CrashReporterHoldingAWatchedProgramIsEndedWithItAfterAnyDumpTimeAndOneOnAnotherIsLeftAlone)
{
    const std::wstring held = Program(L"h", L"Held.exe");
    const std::wstring reporter = Program(L"r", L"WerFault.exe");
    const std::wstring otherReporter = Program(L"s", L"WerFaultSecure.exe");
    const std::wstring unwatched = Program(L"u", L"Unwatched.exe");
    AddEntry(L"Held.exe", held);
    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    ASSERT_TRUE(WaitUntil([&] { return !StartsOf(held).empty(); }, 20000)) << Utf8(ServiceLog());
    const DWORD heldId = StartsOf(held).front().processId;

    const PROCESS_INFORMATION other = StartProgram(unwatched, L"");
    const PROCESS_INFORMATION bystander =
        StartProgram(otherReporter, L"-u -p " + std::to_wstring(other.dwProcessId) + L" -s 88");
    const PROCESS_INFORMATION holding =
        StartProgram(reporter, L"-u -p " + std::to_wstring(heldId) + L" -s 77");
    const ScopedHandle otherProcess(other.hProcess), otherThread(other.hThread);
    const ScopedHandle bystanderProcess(bystander.hProcess), bystanderThread(bystander.hThread);
    const ScopedHandle holdingProcess(holding.hProcess), holdingThread(holding.hThread);

    ASSERT_TRUE(WaitUntil([&] { return StartsOf(held).size() >= 2; }, 10000)) << Utf8(ServiceLog());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(holding.hProcess, 5000));
    EXPECT_FALSE(IsProcessAlive(heldId));
    EXPECT_TRUE(IsProcessAlive(bystander.dwProcessId));
    EXPECT_TRUE(IsProcessAlive(other.dwProcessId));
    const std::wstring log = ServiceLog();
    EXPECT_NE(log.find(L"Held.exe crashed: crash reporter " + std::to_wstring(holding.dwProcessId) +
                       L" held process " + std::to_wstring(heldId) + L", both ended"),
              std::wstring::npos)
        << Utf8(log);
    EXPECT_NE(log.find(L"crash reporter " + std::to_wstring(bystander.dwProcessId) +
                       L" works on process " + std::to_wstring(other.dwProcessId) +
                       L", no watched program: left alone"),
              std::wstring::npos)
        << Utf8(log);
    EXPECT_NE(log.find(L"Held.exe process " + std::to_wstring(heldId) +
                       L" crashed (held by the crash reporter, ended)"),
              std::wstring::npos)
        << Utf8(log);
    const std::wstring line = ListLineOf(L"Held.exe");
    EXPECT_NE(line.find(L"; crashed (held by the crash reporter, ended) at 20"), std::wstring::npos)
        << Utf8(line);
    EXPECT_NE(Control(L"list --json")
                  .output.find("\"crash\": \"crashed (held by the crash reporter, ended)\""),
              std::string::npos);

    // Where an administrator asked for dumps of the program, its reporter gets its 10 s first.
    // The LocalDumps key alone asks for dumps of every program: one the test made goes with it.
    const wchar_t* const allDumpsKey =
        L"SOFTWARE\\Microsoft\\Windows\\Windows Error Reporting\\LocalDumps";
    const wchar_t* const dumpsKey =
        L"SOFTWARE\\Microsoft\\Windows\\Windows Error Reporting\\LocalDumps\\Held.exe";
    HKEY existing = nullptr;
    const bool allDumpsBefore = RegOpenKeyExW(HKEY_LOCAL_MACHINE, allDumpsKey, 0,
                                              KEY_READ | KEY_WOW64_64KEY, &existing) == ERROR_SUCCESS;
    if (allDumpsBefore) {
        RegCloseKey(existing);
    }
    HKEY created = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, dumpsKey, 0, nullptr, 0,
                                             KEY_WRITE | KEY_WOW64_64KEY, nullptr, &created,
                                             nullptr));
    RegCloseKey(created);
    const DWORD secondId = StartsOf(held).at(1).processId;
    const PROCESS_INFORMATION dumping =
        StartProgram(reporter, L"-u -p " + std::to_wstring(secondId) + L" -s 99");
    const ScopedHandle dumpingProcess(dumping.hProcess), dumpingThread(dumping.hThread);
    const ULONGLONG dumpingSince = GetTickCount64();
    EXPECT_TRUE(WaitUntil([&] { return ServiceLog().find(L"may write its dump (LocalDumps)") !=
                                       std::wstring::npos; },
                          5000))
        << Utf8(ServiceLog());
    EXPECT_TRUE(WaitUntil([&] { return StartsOf(held).size() >= 3; }, 20000)) << Utf8(ServiceLog());
    EXPECT_GE(GetTickCount64() - dumpingSince, 9000u) << "the reporter's time was cut short";
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(dumping.hProcess, 5000));
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, dumpsKey, KEY_WOW64_64KEY, 0);
    if (!allDumpsBefore) {
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, allDumpsKey, KEY_WOW64_64KEY, 0);
    }
    TerminateProcess(bystander.hProcess, 0);
    TerminateProcess(other.hProcess, 0);
    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

// What error mode a program gets from a parent with kNoBoxes, started as CreateProcess starts it.
UINT ErrorModeOfChild(const std::wstring& program, DWORD creationFlags)
{
    const UINT own = SetErrorMode(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    std::wstring commandLine = L"\"" + program + L"\"";
    DeleteFileW((program + L".errormode").c_str());
    const BOOL started = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                                        creationFlags, nullptr, nullptr, &startup, &info);
    SetErrorMode(own);
    if (!started) {
        return 0xFFFFFFFF;
    }
    WaitUntil([&] { return FileExists(program + L".errormode"); }, 10000);
    TerminateProcess(info.hProcess, 0);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    return static_cast<UINT>(std::stoul("0" + ReadFileBytes(program + L".errormode")));
}

TEST_F(WatchEngineTest, ProgramsStartWithoutCrashOrCriticalErrorBoxesUnlessTheEntryWantsTheDialog)
{
    const std::wstring quiet = Program(L"q", L"Quiet.exe");
    const std::wstring dialog = Program(L"d", L"Dialog.exe");
    const UINT inherited = ErrorModeOfChild(quiet, 0);
    const UINT standard = ErrorModeOfChild(quiet, CREATE_DEFAULT_ERROR_MODE);
    AddEntry(L"Quiet.exe", quiet);
    const CapturedRun added = Control(L"add --crash-dialog \"" + dialog + L"\"");
    EXPECT_NE(added.output.find("crash dialog shown"), std::string::npos) << added.output;
    // A re-add without the option keeps it.
    const CapturedRun readded = Control(L"add \"" + dialog + L"\"");
    EXPECT_NE(readded.output.find("crash dialog kept"), std::string::npos) << readded.output;
    DeleteFileW((quiet + L".errormode").c_str());
    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    ASSERT_TRUE(WaitUntil([&] {
        return FileExists(quiet + L".errormode") && FileExists(dialog + L".errormode");
    }, 20000)) << Utf8(ServiceLog());
    EXPECT_NE(Control(L"list --json").output.find("\"crashDialog\": true"), std::string::npos);
    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
    if (inherited != (SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS)) {
        GTEST_SKIP() << "this platform gives a child no error mode of its parent's (Wine): the "
                        "child of a parent without boxes reads " << inherited;
    }
    // Through the service's console, as a child of the service.
    EXPECT_EQ(std::to_string(inherited), ReadFileBytes(quiet + L".errormode"));
    EXPECT_EQ(std::to_string(standard), ReadFileBytes(dialog + L".errormode"));
}

// Needs a display: run-tests.sh runs the tests named Windowed... under Xvfb. Under Wine the crash
// is taken by its debugger, which holds the program with its dialog: the reporter's case.
TEST_F(WatchEngineTest, WindowedProgramThatCrashesIsBackWithinSecondsAndNoCrashReporterStays)
{
    // The reaction, not the interval's pass, brings it back.
    SetString(kWatchListKey, L"Interval", L"30000");
    const std::wstring crashy = Program(L"c", L"Crashy.exe", L"fixture_window.exe");
    // It runs over 10 s before it crashes, so that no quick-exit hold comes into the time.
    ASSERT_TRUE(WriteTextFile(crashy + L".crash", "10500"));
    AddEntry(L"Crashy.exe", crashy);
    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    ASSERT_TRUE(WaitUntil([&] { return !StartsOf(crashy).empty(); }, 20000)) << Utf8(ServiceLog());
    const DWORD firstId = StartsOf(crashy).front().processId;
    // The moment is in the file once it is more than made.
    ASSERT_TRUE(WaitUntil([&] { return !ReadFileBytes(crashy + L".crashed").empty(); }, 30000));
    DeleteFileW((crashy + L".crash").c_str());
    const ULONGLONG crashedAt = std::stoull(ReadFileBytes(crashy + L".crashed"));

    ASSERT_TRUE(WaitUntil([&] { return StartsOf(crashy).size() >= 2; }, 20000, 10))
        << Utf8(ServiceLog());
    const ULONGLONG backMs = GetTickCount64() - crashedAt;
    EXPECT_LE(backMs, 3000u) << "running again " << backMs << " ms after the crash"
                             << Utf8(ServiceLog());
    EXPECT_FALSE(IsProcessAlive(firstId));
    EXPECT_TRUE(WaitUntil([] { return ProcessIdsByName(L"winedbg.exe").empty() &&
                                      ProcessIdsByName(L"WerFault.exe").empty(); },
                          3000));
    const std::wstring log = ServiceLog();
    EXPECT_NE(log.find(L"Crashy.exe process " + std::to_wstring(firstId) + L" crashed"),
              std::wstring::npos)
        << Utf8(log);
    const std::wstring line = ListLineOf(L"Crashy.exe");
    EXPECT_NE(line.find(L"running, pid "), std::wstring::npos) << Utf8(line);
    EXPECT_NE(line.find(L"; crashed"), std::wstring::npos) << Utf8(line);
    const CapturedRun check = Control(L"check");
    EXPECT_EQ(1u, check.exitCode) << check.output;
    EXPECT_NE(check.output.find("Crashy.exe: running"), std::string::npos) << check.output;
    EXPECT_NE(check.output.find("; crashed"), std::string::npos) << check.output;
    EXPECT_EQ(Control(L"list --json").output.find("\"crash\": null"), std::string::npos);
    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

}  // namespace

namespace {

constexpr wchar_t kPolicyVendorKey[] = L"SOFTWARE\\Policies\\QUORBEL";
constexpr wchar_t kPolicyProgramsKey[] = L"SOFTWARE\\Policies\\QUORBEL\\QuorbelService\\Programs";

// The machine policy's programs for one test; the key goes with it.
class PolicyPrograms {
public:
    PolicyPrograms() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPolicyVendorKey); }
    ~PolicyPrograms()
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kPolicyVendorKey);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPolicyVendorKey);
    }
    PolicyPrograms(const PolicyPrograms&) = delete;
    PolicyPrograms& operator=(const PolicyPrograms&) = delete;

    void Set(const wchar_t* name, const std::wstring& commandLine)
    {
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, kPolicyProgramsKey, name, REG_EXPAND_SZ,
                        commandLine.c_str(),
                        static_cast<DWORD>((commandLine.size() + 1) * sizeof(wchar_t)));
    }
};

TEST_F(WatchEngineTest, PolicyProgramsRunBesideTheUsersListWinTheirNameAndFollowChangesAtOnce)
{
    PolicyPrograms policy;
    const std::wstring program = Program(L"set by policy", L"ArgvProbe.exe", L"fixture_argv.exe");
    const std::wstring folder = dir / L"Programs\\set by policy";
    // The policy's command line: a quoted path, then arguments; the user's own paused entry of
    // the same name, with another path, does not count.
    policy.Set(L"ArgvProbe.exe", L"\"" + program + L"\" --kiosk \"a b\"");
    const std::wstring usersOwn = Program(L"own", L"ArgvProbe.exe");
    AddEntry(L"ArgvProbe.exe", usersOwn, L"0");
    const std::wstring mine = Program(L"mine", L"Mine.exe");
    AddEntry(L"Mine.exe", mine);

    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    ASSERT_TRUE(WaitUntil([&] { return ArgvRecord(program).size() >= 2; }, 20000, 20))
        << Utf8(ServiceLog());
    const std::vector<std::string> started = {Utf8(folder), "--kiosk", "a b"};
    EXPECT_EQ(ArgvRecord(program), started);
    EXPECT_TRUE(WaitUntil([&] { return !StartsOf(mine).empty(); }, 10000)) << Utf8(ServiceLog());
    EXPECT_TRUE(StartsOf(usersOwn).empty());
    // The list shows the policy's entry in place of the user's own, marked as the policy's.
    const std::wstring line = ListLineOf(L"ArgvProbe.exe");
    EXPECT_EQ(0u, line.find(L"ArgvProbe.exe  policy  running")) << Utf8(line);
    EXPECT_NE(std::wstring::npos, line.find(program)) << Utf8(line);
    const CapturedRun json = Control(L"list --json");
    EXPECT_NE(json.output.find("\"source\": \"policy\""), std::string::npos) << json.output;

    // A program added to the policy while the service runs is started without a restart.
    const std::wstring added = Program(L"added", L"Added.exe");
    policy.Set(L"Added.exe", added);
    EXPECT_TRUE(WaitUntil([&] { return !StartsOf(added).empty(); }, 10000)) << Utf8(ServiceLog());

    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

// The published states of every user: one key per entry below each user's key.
size_t StateKeyCount()
{
    HKEY states = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kStateKey, 0, KEY_READ | KEY_WOW64_64KEY, &states) !=
        ERROR_SUCCESS) {
        return 0;
    }
    size_t count = 0;
    wchar_t sid[256];
    for (DWORD i = 0; RegEnumKeyW(states, i, sid, 256) == ERROR_SUCCESS; ++i) {
        HKEY user = nullptr;
        DWORD entries = 0;
        if (RegOpenKeyExW(states, sid, 0, KEY_READ, &user) == ERROR_SUCCESS) {
            RegQueryInfoKeyW(user, nullptr, nullptr, nullptr, &entries, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr);
            RegCloseKey(user);
        }
        count += entries;
    }
    RegCloseKey(states);
    return count;
}

// The time of day of the trace line that holds the fragment, the first one from the position on,
// in milliseconds; -1 when there is none.
long long TraceTimeOf(const std::wstring& log, const std::wstring& fragment, size_t from = 0)
{
    const size_t at = log.find(fragment, from);
    const size_t line = at == std::wstring::npos ? at : log.rfind(L"\n(", at);
    unsigned hours = 0, minutes = 0, seconds = 0, ms = 0;
    if (line == std::wstring::npos || swscanf(log.c_str() + line + 2, L"%u:%u:%u.%u", &hours,
                                              &minutes, &seconds, &ms) != 4) {
        return -1;
    }
    return ((hours * 60LL + minutes) * 60 + seconds) * 1000 + ms;
}

// The processor time the process has used so far, in milliseconds.
ULONGLONG ProcessorMs(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    FILETIME created{}, exited{}, kernel{}, user{};
    const bool read =
        process != nullptr && GetProcessTimes(process, &created, &exited, &kernel, &user);
    if (process != nullptr) {
        CloseHandle(process);
    }
    const auto ms = [](const FILETIME& time) {
        return ((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 10000;
    };
    return read ? ms(kernel) + ms(user) : 0;
}

TEST_F(WatchEngineTest, TwoThousandMissingProgramsStayInBoundsAndAPolicyProgramComesBackAtOnce)
{
    constexpr int kEntries = 2000;
    SetString(kWatchListKey, L"Interval", L"500");
    // Their folder is there, so each start runs a console that cannot find its program.
    for (int i = 0; i < kEntries; ++i) {
        const std::wstring name = L"Missing" + std::to_wstring(10000 + i) + L".exe";
        AddEntry(name, dir / (L"Programs\\" + name));
    }
    PolicyPrograms policy;
    const std::wstring kept = Program(L"kept", L"KeptByPolicy.exe");
    policy.Set(L"KeptByPolicy.exe", kept);
    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    ASSERT_TRUE(WaitUntil([&] { return !StartsOf(kept).empty(); }, 30000)) << Utf8(ServiceLog());

    // Once the first burst of starts is over, a short look shows what the list costs the
    // service from then on.
    ASSERT_TRUE(WaitUntil(
        [&] { return ServiceLog().find(L"starts put off") != std::wstring::npos; }, 120000));
    const DWORD windowStart = GetTickCount();
    const ULONGLONG processorBefore = ProcessorMs(servicePid);
    ASSERT_NE(0u, processorBefore) << "the service's processor time cannot be read";
    const int eventsBefore = Occurrences(ServiceLog(), L" reported\r\n");

    // Meanwhile the policy's program is ended, and is back as soon as it would be alone.
    DWORD restartMs = 0;
    ASSERT_NO_FATAL_FAILURE(EndFirstRun(kept, restartMs));

    // The rest of a window of 20 s, then the service's share of one processor over it.
    constexpr DWORD kWindowMs = 20000;
    const DWORD elapsedMs = GetTickCount() - windowStart;
    if (elapsedMs < kWindowMs) {
        Sleep(kWindowMs - elapsedMs);
    }
    const ULONGLONG processorMs = ProcessorMs(servicePid) - processorBefore;
    const DWORD windowMs = GetTickCount() - windowStart;
    const std::wstring log = ServiceLog();
    const int events = Occurrences(log, L" reported\r\n");
    std::printf("restart of the policy's program after %lu ms; the service used %llu ms of "
                "processor time in %lu ms (%.1f %%); %d events, %d of them in the window; %zu "
                "state keys\n",
                static_cast<unsigned long>(restartMs), processorMs,
                static_cast<unsigned long>(windowMs), 100.0 * processorMs / windowMs, events,
                events - eventsBefore, StateKeyCount());
    // A run of 10 s or more is started again at once, a shorter one after 1 s. The service's own
    // part, from the end it saw to the console it launched, is told apart from the time the
    // console and the program take to come up under Wine on a busy machine.
    const size_t ended = log.find(L"KeptByPolicy.exe process ");
    const long long reactionMs = TraceTimeOf(log, L"KeptByPolicy.exe\"\" in ", ended) -
                                 TraceTimeOf(log, L"KeptByPolicy.exe process ");
    std::printf("the service launched it again %lld ms after it saw its end\n", reactionMs);
    EXPECT_TRUE(reactionMs >= 0 && reactionMs <= 1000 + 1000) << reactionMs << " ms";
    EXPECT_LE(restartMs, 1000u + 5000u) << "restarted after " << restartMs << " ms";
    EXPECT_LE(processorMs * 100, windowMs * 5ULL) << processorMs << " ms in " << windowMs << " ms";
    // One share for the user's list, one for the policy's.
    EXPECT_LE(events, 2 * 60) << Utf8(log);
    EXPECT_LE(StateKeyCount(), 256u + 1u);
    EXPECT_NE(log.find(L"1744 active entries past the first 256 of the user's list are not "
                       L"watched"),
              std::wstring::npos);
    // Listing two thousand entries takes its time under Wine.
    const std::string listed = Control(L"list", 120000).output;
    const size_t pastCap = listed.find("Missing11999.exe ");
    EXPECT_NE(listed.find("not watched: past the first 256 active entries", pastCap),
              std::string::npos)
        << listed.substr(pastCap == std::string::npos ? 0 : pastCap, 400);
    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

}  // namespace
