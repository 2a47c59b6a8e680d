// The watch engine end to end: the real service, started by Wine's service manager, keeps the
// user's watch-list programs and its companion running, starts them through a console of its
// own, leaves paused and removed entries alone, and does nothing without a logged-on user.
// Wine reports no terminal-services session, so the service loads the stand-in wtsapi32.dll
// from its own folder (a per-executable DLL override in the registry).

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"

using namespace testing_support;

namespace {

constexpr wchar_t kServiceName[] = L"QuorbelService";
constexpr wchar_t kServiceExe[] = L"QuorbelService.exe";
constexpr wchar_t kCompanion[] = L"QuorbelServiceManager.exe";
constexpr wchar_t kWatchListKey[] = L"Software\\QUORBEL\\QuorbelService";
constexpr wchar_t kDllOverridesKey[] =
    L"Software\\Wine\\AppDefaults\\QuorbelService.exe\\DllOverrides";
constexpr wchar_t kAppDefaultsKey[] = L"Software\\Wine\\AppDefaults\\QuorbelService.exe";
// Read by the stand-in wtsapi32.dll: with "Mode" = "none" it reports no session at all.
constexpr wchar_t kWtsFixtureKey[] = L"Software\\QuorbelTests\\Wts";
constexpr DWORD kIntervalMs = 300;
// A pass that starts a program waits a second for it; the rest is Wine starting processes.
constexpr DWORD kRestartAllowanceMs = kIntervalMs + 1000 + 2500;

void SetString(const std::wstring& keyPath, const wchar_t* valueName, const std::wstring& text)
{
    RegSetKeyValueW(HKEY_CURRENT_USER, keyPath.c_str(), valueName, REG_SZ, text.c_str(),
                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
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
        SetString(kDllOverridesKey, L"wtsapi32", L"native");
        SetString(kWatchListKey, L"Interval", std::to_wstring(kIntervalMs));

        const std::wstring dist = QUORBEL_DIST_DIR;
        ASSERT_TRUE(CopyInto(dist + L"\\" + kServiceExe, dir / kServiceExe));
        ASSERT_TRUE(CopyInto(dist + L"\\" + kCompanion, dir / kCompanion));
        ASSERT_TRUE(CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\wtsapi32.dll",
                             dir / L"wtsapi32.dll"));
        HANDLE traceSwitch = CreateFileW((dir / L"trace.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(traceSwitch, INVALID_HANDLE_VALUE);
        CloseHandle(traceSwitch);
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
        RegDeleteTreeW(HKEY_CURRENT_USER, kAppDefaultsKey);
        // The parents go too unless something else keeps keys in them.
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\QUORBEL");
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\QuorbelTests");
    }

    // A copy of fixture_sleeper under the name, in its own folder below Programs.
    std::wstring Program(const std::wstring& folder, const std::wstring& fileName)
    {
        programNames.push_back(fileName);
        const std::wstring folderPath = dir / (L"Programs\\" + folder);
        CreateDirectoryW(folderPath.c_str(), nullptr);
        const std::wstring path = folderPath + L"\\" + fileName;
        CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\fixture_sleeper.exe", path);
        return path;
    }

    // Starts a program from the test and returns once it has recorded its start.
    void StartOutside(const std::wstring& path)
    {
        PROCESS_INFORMATION info = StartProgram(path, L"");
        ASSERT_NE(info.hProcess, nullptr) << Utf8(path);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        ASSERT_TRUE(WaitUntil([&] { return !StartsOf(path).empty(); }, 10000)) << Utf8(path);
    }

    void BringServiceUp()
    {
        const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager, nullptr) << GetLastError();
        const std::wstring binary = L"\"" + (dir / kServiceExe) + L"\" service";
        const SC_HANDLE service = CreateServiceW(
            manager, kServiceName, L"Quorbel Service Monitor", SERVICE_ALL_ACCESS,
            SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_DEMAND_START,
            SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        const DWORD createError = GetLastError();
        CloseServiceHandle(manager);
        ASSERT_NE(service, nullptr) << "CreateServiceW error " << createError;
        const BOOL started = StartServiceW(service, 0, nullptr);
        const DWORD startError = GetLastError();
        CloseServiceHandle(service);
        ASSERT_TRUE(started) << "StartServiceW error " << startError;
        ASSERT_TRUE(WaitUntil([&] { return ServiceState() == SERVICE_RUNNING; }, 20000, 50))
            << "state " << ServiceState();
        servicePid = ServiceProcessId();
        ASSERT_NE(servicePid, 0u);
    }

    DWORD ServiceState() const { return QueryStatus().dwCurrentState; }
    DWORD ServiceProcessId() const { return QueryStatus().dwProcessId; }

    SERVICE_STATUS_PROCESS QueryStatus() const
    {
        SERVICE_STATUS_PROCESS status{};
        const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (manager == nullptr) {
            return status;
        }
        const SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS);
        if (service != nullptr) {
            DWORD needed = 0;
            QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                 sizeof(status), &needed);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
        return status;
    }

    // Asks the service to stop; true when it reports STOPPED and its process has ended.
    bool StopServiceAndWait()
    {
        const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (manager == nullptr) {
            return false;
        }
        const SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_STOP);
        if (service != nullptr) {
            SERVICE_STATUS status{};
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
        const DWORD pid = servicePid;
        return WaitUntil([&] { return ServiceState() == SERVICE_STOPPED; }, 20000, 50) &&
               (pid == 0 || WaitUntil([&] { return !IsProcessAlive(pid); }, 10000, 50));
    }

    void RemoveService()
    {
        if (ServiceState() == SERVICE_RUNNING || ServiceState() == SERVICE_START_PENDING) {
            StopServiceAndWait();
        }
        const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (manager == nullptr) {
            return;
        }
        const SC_HANDLE service = OpenServiceW(manager, kServiceName, DELETE);
        if (service != nullptr) {
            DeleteService(service);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
        if (servicePid != 0) {
            TerminateById(servicePid);
            servicePid = 0;
        }
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
        const std::wstring log = ServiceLog();
        int passes = 0;
        const std::wstring line = L"CurrentUserName : ";
        for (size_t at = log.find(line); at != std::wstring::npos; at = log.find(line, at + 1)) {
            ++passes;
        }
        return passes;
    }

    bool WaitForPasses(int passes, DWORD timeoutMs)
    {
        const int target = PassCount() + passes;
        return WaitUntil([&] { return PassCount() >= target; }, timeoutMs, 50);
    }

    ScratchDir dir{L"system_watch_engine"};
    DWORD servicePid = 0;
    std::vector<std::wstring> programNames;
};

TEST_F(WatchEngineTest, WatchedProgramIsStartedUnderTheServicesConsoleAndComesBackWhenEnded)
{
    const std::wstring watched = Program(L"a", L"Watched.exe");
    SetString(EntryKey(L"Watched.exe"), L"Path", watched);
    SetString(EntryKey(L"Watched.exe"), L"Status", L"1");
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

    // The program comes up at once, so its console is ended a second after the start.
    EXPECT_TRUE(WaitUntil([&] { return !IsProcessAlive(first.parentId); }, 10000));
    TerminateById(first.processId);
    const DWORD endedAt = GetTickCount();
    ASSERT_TRUE(WaitUntil([&] { return StartsOf(watched).size() >= 2; }, 20000, 20))
        << Utf8(ServiceLog());
    const DWORD restartMs = GetTickCount() - endedAt;
    EXPECT_LE(restartMs, kRestartAllowanceMs) << "restarted after " << restartMs << " ms";
    EXPECT_EQ(ProcessIdsByName(L"Watched.exe").size(), 1u);

    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

TEST_F(WatchEngineTest, PausedAndRemovedEntriesAreLeftAloneAndNamesMatchInAnyCase)
{
    const std::wstring pausedRunning = Program(L"p1", L"PausedRunning.exe");
    const std::wstring pausedStopped = Program(L"p2", L"PausedStopped.exe");
    const std::wstring removed = Program(L"r", L"Removed.exe");
    const std::wstring entryCase = Program(L"upper", L"CaseProg.exe");
    const std::wstring otherCase = Program(L"lower", L"caseprog.exe");
    // Added in lower case, while the file on disk is spelled GuiApp.exe.
    const std::wstring guiApp = Program(L"gui", L"GuiApp.exe");
    for (const std::wstring& path : {pausedRunning, removed, otherCase}) {
        ASSERT_NO_FATAL_FAILURE(StartOutside(path));
    }
    SetString(EntryKey(L"PausedRunning.exe"), L"Path", pausedRunning);
    SetString(EntryKey(L"PausedRunning.exe"), L"Status", L"0");
    SetString(EntryKey(L"PausedStopped.exe"), L"Path", pausedStopped);
    SetString(EntryKey(L"PausedStopped.exe"), L"Status", L"0");
    SetString(EntryKey(L"Removed.exe"), L"Path", removed);
    SetString(EntryKey(L"Removed.exe"), L"Status", L"1");
    SetString(EntryKey(L"CaseProg.exe"), L"Path", entryCase);
    SetString(EntryKey(L"CaseProg.exe"), L"Status", L"1");
    SetString(EntryKey(L"guiapp.exe"), L"Path", guiApp);
    SetString(EntryKey(L"guiapp.exe"), L"Status", L"1");

    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    EXPECT_TRUE(WaitUntil([&] { return !StartsOf(guiApp).empty(); }, 20000))
        << Utf8(ServiceLog());

    ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, EntryKey(L"Removed.exe").c_str()), ERROR_SUCCESS);
    ASSERT_TRUE(WaitForPasses(1, 20000));
    TerminateAllByName(L"Removed.exe");
    ASSERT_TRUE(WaitForPasses(5, 30000)) << Utf8(ServiceLog());

    EXPECT_EQ(StartsOf(removed).size(), 1u) << "the removed entry was started again";
    EXPECT_TRUE(StartsOf(pausedStopped).empty()) << "the paused entry was started";
    EXPECT_EQ(ProcessIdsByName(L"PausedRunning.exe").size(), 1u)
        << "the running paused program was stopped";
    EXPECT_EQ(StartsOf(pausedRunning).size(), 1u);
    // caseprog.exe runs, so the entry CaseProg.exe is running: image names ignore case.
    EXPECT_TRUE(StartsOf(entryCase).empty()) << "CaseProg.exe was started beside caseprog.exe";
    EXPECT_EQ(StartsOf(otherCase).size(), 1u);
    EXPECT_EQ(ProcessIdsByName(L"caseprog.exe").size(), 1u);
    // guiapp.exe was started once and is seen running as GuiApp.exe ever after.
    EXPECT_EQ(StartsOf(guiApp).size(), 1u) << Utf8(ServiceLog());
    EXPECT_EQ(ProcessIdsByName(L"GuiApp.exe").size(), 1u);
    EXPECT_NE(ServiceLog().find(L"Running Process guiapp.exe"), std::wstring::npos);

    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

TEST_F(WatchEngineTest, WithoutALoggedOnUserNothingIsStartedAndTheServiceStopsCleanly)
{
    SetString(kWtsFixtureKey, L"Mode", L"none");
    const std::wstring watched = Program(L"a", L"Unattended.exe");
    SetString(EntryKey(L"Unattended.exe"), L"Path", watched);
    SetString(EntryKey(L"Unattended.exe"), L"Status", L"1");

    ASSERT_NO_FATAL_FAILURE(BringServiceUp());
    ASSERT_TRUE(WaitForPasses(2, 30000)) << Utf8(ServiceLog());

    EXPECT_EQ(ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(StartsOf(watched).empty());
    EXPECT_TRUE(ProcessIdsByName(kCompanion).empty());
    for (DWORD console : ProcessIdsByName(L"cmd.exe")) {
        EXPECT_NE(ParentProcessId(console), servicePid) << "console " << console;
    }
    const std::wstring log = ServiceLog();
    EXPECT_NE(log.find(L"no one logged in"), std::wstring::npos) << Utf8(log);
    EXPECT_NE(log.find(L"no watch list"), std::wstring::npos) << Utf8(log);

    EXPECT_TRUE(StopServiceAndWait()) << "state " << ServiceState();
}

TEST_F(WatchEngineTest, PathsThatCmdWouldSplitStartTheirOwnProgramAndNothingElse)
{
    CreateDirectoryW((dir / L"Programs\\Program Files (x86)").c_str(), nullptr);
    const std::wstring vendor = Program(L"Program Files (x86)\\Some Vendor", L"VendorApp.exe");
    const std::wstring research = Program(L"R&D", L"RnD.exe");
    SetString(EntryKey(L"VendorApp.exe"), L"Path", vendor);
    SetString(EntryKey(L"VendorApp.exe"), L"Status", L"1");
    SetString(EntryKey(L"RnD.exe"), L"Path", research);
    SetString(EntryKey(L"RnD.exe"), L"Status", L"1");
    // With the path split at "&", cmd.exe would run the second command and write the marker.
    const std::wstring marker = dir / L"marker.txt";
    SetString(EntryKey(L"Injected.exe"), L"Path",
              dir / (L"Programs\\nosuch.exe&echo injected>" + marker));
    SetString(EntryKey(L"Injected.exe"), L"Status", L"1");
    SetString(EntryKey(L"NoPath.exe"), L"Path", L"");
    SetString(EntryKey(L"NoPath.exe"), L"Status", L"1");

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

TEST_F(WatchEngineTest, StopIsPromptWithAThousandEntriesThatCannotStart)
{
    for (int i = 0; i < 1000; ++i) {
        const std::wstring name = L"Missing" + std::to_wstring(i) + L".exe";
        SetString(EntryKey(name), L"Path", dir / (L"Programs\\" + name));
        SetString(EntryKey(name), L"Status", L"1");
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
    programNames.push_back(L"ArgvProbe.exe");
    const std::wstring folder = dir / L"Programs\\with blank";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring program = folder + L"\\ArgvProbe.exe";
    ASSERT_TRUE(CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\fixture_argv.exe", program));

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

}  // namespace
