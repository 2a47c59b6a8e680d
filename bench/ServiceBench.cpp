// The real service under Wine: how soon a program that ends is back, against starting it through
// the same console command line and seeing it in the process table; how soon a program that
// crashes is back (Wine's debugger holds it, as Windows Error Reporting does); how soon a bulk
// import runs, against a bare process that starts the same programs through cmd.exe all at once;
// how a program that exits at once is held back; how often an idle service wakes.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <winsock2.h>

#include <atomic>
#include <thread>

#include "Bench.h"
#include "ServiceControl.h"
#include "TestSupport.h"
#include "common/ScopedHandle.h"
#include "process/ProcessTable.h"

namespace {

using namespace bench;

constexpr wchar_t kServiceExe[] = L"QuorbelService.exe";
constexpr int kLatencySamples = 10;
constexpr int kBulkSizes[] = {30, 50};
constexpr int kCheckedEntries = 50;  // the liveness section's programs with a check
constexpr int kBulkRounds = 2;
// A restart is one launch through cmd.exe and the service's own part, which is this allowance
// beside a ratio.
constexpr double kRestartAllowanceSeconds = 0.020;
constexpr double kRestartGoal = 1.2;
constexpr double kBulkGoal = 1.2;
constexpr DWORD kCrashLoopMs = 90000;
constexpr DWORD kIdleWindowMs = 30000;
constexpr DWORD kQuickRunMs = 10000;
constexpr int kCrashSamples = 5;
// Each crashing program runs past a quick run, the next one crashing this much later.
constexpr DWORD kFirstCrashMs = kQuickRunMs + 500;
constexpr DWORD kCrashStaggerMs = 2000;

using testing_support::CopyInto;
using testing_support::ProcessIdsByName;
using testing_support::SetString;
using testing_support::WaitUntil;

void AddEntry(const std::wstring& name, const std::wstring& path)
{
    const std::wstring key = std::wstring(kWatchListKey) + L"\\" + name;
    SetString(key, L"Path", path);
    SetString(key, L"Status", L"1");
}

double Median(std::vector<double> values)
{
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Polls the process table until the predicate holds; seconds taken, or a negative value.
template <typename Seen>
double SecondsUntil(double since, Seen seen, double timeoutSeconds)
{
    for (;;) {
        const ProcessTable table = ProcessTable::Take();
        if (seen(table)) {
            return bench::Now() - since;
        }
        if (bench::Now() - since > timeoutSeconds) {
            return -1.0;
        }
        ::Sleep(2);
    }
}

// The installed service in the probe's prefix, with its files in a folder of its own and the
// stand-in wtsapi32.dll beside it; removed with everything it started by the destructor.
class BenchService {
public:
    explicit BenchService(const std::wstring& folder) : folder_(folder)
    {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kWatchListKey);
        testing_support::PutServiceFiles(folder_);
        CopyInto(folder_ + L"\\" + kServiceExe, folder_ + L"\\QuorbelCtl.exe");
        // The trace counts the passes; its cost is small beside a process start.
        testing_support::WriteTextFile(folder_ + L"\\trace.txt");
    }
    ~BenchService()
    {
        Stop();
        for (const std::wstring& name : programs_) {
            testing_support::TerminateAllByName(name);
        }
        testing_support::TerminateAllByName(kCompanion);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, kWatchListKey);
        testing_support::RemoveServiceOverride();
    }
    BenchService(const BenchService&) = delete;
    BenchService& operator=(const BenchService&) = delete;

    // A copy of the sleeper fixture (or another) in a folder of its own; with an exit code it
    // exits at once.
    std::wstring Program(const std::wstring& fileName, const char* exitCode = nullptr,
                         const wchar_t* fixture = L"fixture_sleeper.exe")
    {
        programs_.push_back(fileName);
        const std::wstring directory = folder_ + L"\\p_" + fileName;
        ::CreateDirectoryW(directory.c_str(), nullptr);
        const std::wstring path = directory + L"\\" + fileName;
        CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\" + fixture, path);
        if (exitCode != nullptr) {
            testing_support::WriteTextFile(path + L".exit", exitCode);
        }
        return path;
    }

    bool Start()
    {
        DWORD error = 0;
        return testing_support::CreateAndStartService(
                   L"\"" + folder_ + L"\\" + kServiceExe + L"\" service", true, &error) &&
               WaitUntil([&] { return !ProcessIdsByName(kCompanion).empty(); }, 30000, 20);
    }

    void Stop() { testing_support::RemoveService(); }

    // The passes the service traced so far: each looks the user up once.
    int Passes() const
    {
        const std::wstring log = testing_support::ReadAllLogFiles(folder_ + L"\\Log");
        return testing_support::Occurrences(log, L"CurrentUserName : ");
    }

    std::string List() const
    {
        return testing_support::RunProgramCapturingOutput(folder_ + L"\\QuorbelCtl.exe", L"list")
            .output;
    }

private:
    std::wstring folder_;
    std::vector<std::wstring> programs_;
};

// Starts the program as the service's console does: cmd.exe /c ""path"", with a console of its
// own, hidden. The console's handles are closed at once; its id goes to *consoleId.
void LaunchThroughConsole(const std::wstring& path, DWORD* consoleId)
{
    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring application = std::wstring(system) + L"\\cmd.exe";
    std::wstring commandLine = L"cmd.exe /c \"\"" + path + L"\"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info{};
    *consoleId = 0;
    if (::CreateProcessW(application.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                         CREATE_NEW_CONSOLE | CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr,
                         &startup, &info)) {
        *consoleId = info.dwProcessId;
        ::CloseHandle(info.hThread);
        ::CloseHandle(info.hProcess);
    }
}

// Ends the consoles given, then every copy of the programs, and waits until the programs are
// gone. The consoles go first: one whose program ended could leave its id to a new process.
void EndPrograms(const std::vector<std::wstring>& names, const std::vector<DWORD>& consoles)
{
    for (DWORD console : consoles) {
        testing_support::TerminateById(console);
    }
    for (const std::wstring& name : names) {
        testing_support::TerminateAllByName(name);
    }
    WaitUntil(
        [&] {
            return std::all_of(names.begin(), names.end(),
                               [](const std::wstring& n) { return ProcessIdsByName(n).empty(); });
        },
        10000, 10);
}

// The natural minimum of a start: the program started through cmd.exe /c ""path"" and seen in
// the table; negative when it did not come up.
double ConsoleStartSeconds(const std::wstring& path, const std::wstring& imageName)
{
    const double begin = bench::Now();
    DWORD console = 0;
    LaunchThroughConsole(path, &console);
    const double seconds = SecondsUntil(
        begin, [&](const ProcessTable& table) { return table.IsRunning(imageName.c_str()); },
        10.0);
    EndPrograms({imageName}, {console});
    return seconds;
}

bool AllRunning(const ProcessTable& table, const std::vector<std::wstring>& names)
{
    return std::all_of(names.begin(), names.end(),
                       [&](const std::wstring& n) { return table.IsRunning(n.c_str()); });
}

// The natural minimum of a bulk start: a bare process starts every program through cmd.exe at
// once, one launch after the other without waiting, until all are in the table.
double BareBulkStartSeconds(const std::vector<std::wstring>& names,
                            const std::vector<std::wstring>& paths)
{
    const double begin = bench::Now();
    std::vector<DWORD> consoles(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        LaunchThroughConsole(paths[i], &consoles[i]);
    }
    const double seconds = SecondsUntil(
        begin, [&](const ProcessTable& table) { return AllRunning(table, names); }, 120.0);
    EndPrograms(names, consoles);
    return seconds;
}

// Ten programs that have run for more than 10 s are ended one at a time; each end is timed
// until its successor is in the table. Before each end, the probe is started through cmd.exe
// once, so that the floor is measured beside each sample; this also lets the service's pass of
// the last restart end before the next program is ended.
void RestartLatency(const std::vector<std::wstring>& names, DWORD interval,
                    const std::wstring& probe, const std::wstring& probeName)
{
    SetString(kWatchListKey, L"Interval", std::to_wstring(interval));
    const bool up = WaitUntil(
        [&] {
            return std::all_of(names.begin(), names.end(),
                               [](const std::wstring& n) { return !ProcessIdsByName(n).empty(); });
        },
        30000, 20);
    char label[96] = {};
    std::snprintf(label, sizeof(label), "restart latency at Interval %lu",
                  static_cast<unsigned long>(interval));
    if (!up) {
        bench::PrintLine(label, "(the programs did not come up)");
        return;
    }
    ::Sleep(kQuickRunMs + 1000);  // no end of these runs is a quick one
    std::vector<double> samples;
    std::vector<double> floors;
    for (const std::wstring& name : names) {
        const double floor = ConsoleStartSeconds(probe, probeName);
        const std::vector<DWORD> before = ProcessIdsByName(name);
        if (before.empty() || floor < 0.0) {
            continue;
        }
        testing_support::TerminateById(before.front());
        const double begin = bench::Now();
        const double seconds = SecondsUntil(
            begin,
            [&](const ProcessTable& table) {
                const XStringWList ids = table.FindIds(name.c_str());
                return ids.GetCount() > 0 && static_cast<DWORD>(ids.GetAt(0).ToUInt()) != before.front();
            },
            90.0);
        if (seconds >= 0.0) {
            samples.push_back(seconds);
            floors.push_back(floor);
        }
    }
    const double worst = samples.empty() ? 0.0 : *std::max_element(samples.begin(), samples.end());
    const double consoleStart = Median(floors);
    char text[192] = {};
    std::snprintf(text, sizeof(text),
                  "median %.0f ms, worst %.0f ms over %d ends (goal worst <= 1500 ms); console "
                  "start median %.0f ms",
                  Median(samples) * 1000.0, worst * 1000.0, static_cast<int>(samples.size()),
                  consoleStart * 1000.0);
    bench::PrintLine(label, text);
    std::snprintf(label, sizeof(label), "restart median / (console start + 20 ms), Interval %lu",
                  static_cast<unsigned long>(interval));
    const double floor = consoleStart + kRestartAllowanceSeconds;
    bench::PrintRatio(label, consoleStart > 0.0 ? Median(samples) / floor : 0.0, kRestartGoal);
}

// Windowed programs that crash one after another, each after a run past a quick one: each crash
// is timed from the moment the program wrote before its fault until its successor is in the
// table. Under Wine the debugger takes every crash and holds the program with its dialog.
void CrashLatency(BenchService& service, DWORD interval)
{
    SetString(kWatchListKey, L"Interval", std::to_wstring(interval));
    std::vector<std::wstring> names;
    std::vector<std::wstring> paths;
    for (int i = 0; i < kCrashSamples; ++i) {
        names.push_back(L"BenchCrash" + std::to_wstring(i) + L".exe");
        paths.push_back(service.Program(names.back(), nullptr, L"fixture_window.exe"));
        testing_support::WriteTextFile(
            paths.back() + L".crash",
            std::to_string(kFirstCrashMs + kCrashStaggerMs * static_cast<DWORD>(i)).c_str());
        AddEntry(names.back(), paths.back());
    }
    std::vector<double> samples;
    for (int i = 0; i < kCrashSamples; ++i) {
        const std::wstring crashed = paths[i] + L".crashed";
        if (!WaitUntil([&] { return !testing_support::ReadFileBytes(crashed).empty(); }, 60000,
                       5)) {
            continue;
        }
        ::DeleteFileW((paths[i] + L".crash").c_str());
        const ULONGLONG crashedAt = std::stoull(testing_support::ReadFileBytes(crashed));
        const std::wstring& name = names[i];
        const bool back = WaitUntil(
            [&] { return testing_support::StartsOf(paths[i]).size() >= 2 &&
                         ProcessTable::Take().IsRunning(name.c_str()); },
            30000, 2);
        if (back) {
            samples.push_back(static_cast<double>(::GetTickCount64() - crashedAt) / 1000.0);
        }
    }
    const double worst = samples.empty() ? 0.0 : *std::max_element(samples.begin(), samples.end());
    char label[96] = {};
    std::snprintf(label, sizeof(label), "crash -> running again at Interval %lu",
                  static_cast<unsigned long>(interval));
    char text[160] = {};
    std::snprintf(text, sizeof(text), "median %.0f ms, worst %.0f ms over %d crashes (goal worst <= 3000 ms)",
                  Median(samples) * 1000.0, worst * 1000.0, static_cast<int>(samples.size()));
    bench::PrintLine(label, text);
    for (const std::wstring& name : names) {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, (std::wstring(kWatchListKey) + L"\\" + name).c_str());
    }
}

// A list of `count` entries imported at once, timed until all run, against the bare bulk start of
// the same programs measured just before; each round imports names of its own and removes them
// again, and the best round of each counts.
void BringUp(BenchService& service, int count)
{
    double bestFloor = -1.0;
    double bestService = -1.0;
    for (int round = 0; round < kBulkRounds; ++round) {
        std::vector<std::wstring> names;
        std::vector<std::wstring> paths;
        for (int i = 0; i < count; ++i) {
            names.push_back(L"BenchBulk" + std::to_wstring(count) + L"r" +
                            std::to_wstring(round) + L"n" + std::to_wstring(i) + L".exe");
            paths.push_back(service.Program(names.back()));
        }
        const double floor = BareBulkStartSeconds(names, paths);
        const double begin = bench::Now();
        for (int i = 0; i < count; ++i) {
            AddEntry(names[i], paths[i]);
        }
        const double seconds = SecondsUntil(
            begin, [&](const ProcessTable& table) { return AllRunning(table, names); }, 120.0);
        for (const std::wstring& name : names) {
            ::RegDeleteTreeW(HKEY_CURRENT_USER, (std::wstring(kWatchListKey) + L"\\" + name).c_str());
        }
        ::Sleep(1000);  // the service has taken the removal: nothing is started again
        EndPrograms(names, {});
        if (floor > 0.0 && (bestFloor < 0.0 || floor < bestFloor)) {
            bestFloor = floor;
        }
        if (seconds > 0.0 && (bestService < 0.0 || seconds < bestService)) {
            bestService = seconds;
        }
    }
    char label[128] = {};
    char text[128] = {};
    std::snprintf(label, sizeof(label), "bring-up of %d entries imported at once, Interval 60000",
                  count);
    std::snprintf(text, sizeof(text), "%.2f s, floor %.2f s (best of %d)", bestService,
                  bestFloor, kBulkRounds);
    bench::PrintLine(label, text);
    std::snprintf(label, sizeof(label), "bring-up of %d / bare bulk start through cmd.exe", count);
    bench::PrintRatio(label, bestFloor > 0.0 && bestService > 0.0 ? bestService / bestFloor : 0.0,
                      kBulkGoal);
}

void CrashLoop(BenchService& service)
{
    const std::wstring path = service.Program(L"BenchLoop.exe", "7");
    AddEntry(L"BenchLoop.exe", path);
    const double begin = bench::Now();
    std::vector<double> startTimes;
    while (bench::Now() - begin < kCrashLoopMs / 1000.0) {
        while (startTimes.size() < testing_support::StartsOf(path).size()) {
            startTimes.push_back(bench::Now() - begin);
        }
        ::Sleep(20);
    }
    std::string gaps;
    for (size_t i = 1; i < startTimes.size(); ++i) {
        char gap[16] = {};
        std::snprintf(gap, sizeof(gap), "%s%.1f", i == 1 ? "" : ", ", startTimes[i] - startTimes[i - 1]);
        gaps += gap;
    }
    char text[256] = {};
    std::snprintf(text, sizeof(text), "%d starts (goal <= 9), gaps %s s",
                  static_cast<int>(startTimes.size()), gaps.c_str());
    bench::PrintLine("crash loop, exit code 7, first 90 s", text);
    const std::string list = service.List();
    const size_t at = list.find("BenchLoop.exe");
    std::string line = at == std::string::npos ? std::string("(no list line)")
                                               : list.substr(at, list.find('\r', at) - at);
    bench::PrintLine("  list", line);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, (std::wstring(kWatchListKey) + L"\\BenchLoop.exe").c_str());
}

void IdleWakes(BenchService& service)
{
    SetString(kWatchListKey, L"Interval", L"5000");
    ::Sleep(2000);  // the edit's own wake is over
    const int before = service.Passes();
    ::Sleep(kIdleWindowMs);
    const int passes = service.Passes() - before;
    char text[96] = {};
    std::snprintf(text, sizeof(text), "%d passes in %lu s (goal <= %lu)", passes,
                  static_cast<unsigned long>(kIdleWindowMs / 1000),
                  static_cast<unsigned long>(kIdleWindowMs / 5000 + 1));
    bench::PrintLine("idle service at Interval 5000", text);
}

// The service with the programs whose ends are timed, and the probe their console start is
// measured with; false when the service could not be started.
bool StartForLatency(BenchService& service, std::vector<std::wstring>& names, std::wstring& probe)
{
    for (int i = 0; i < kLatencySamples; ++i) {
        names.push_back(L"BenchUp" + std::to_wstring(i) + L".exe");
        AddEntry(names.back(), service.Program(names.back()));
    }
    probe = service.Program(L"BenchProbe.exe");
    if (!service.Start()) {
        bench::PrintLine("service", "(could not be started)");
        return false;
    }
    return true;
}

// Listeners on 127.0.0.1 for the liveness section, served by one thread: on the first port every
// connection is accepted and closed (a program that answers its port), on the second accepted and
// held without a word (a server that never answers a GET). Ended by the destructor.
class LoopbackServers {
public:
    LoopbackServers()
    {
        WSADATA data{};
        ::WSAStartup(MAKEWORD(2, 2), &data);
        answering_ = Listen(answeringPort_);
        stuck_ = Listen(stuckPort_);
        worker_ = std::thread([this] { Serve(); });
    }
    ~LoopbackServers()
    {
        stop_ = true;
        worker_.join();
        for (const SOCKET held : held_) {
            ::closesocket(held);
        }
        ::closesocket(answering_);
        ::closesocket(stuck_);
        ::WSACleanup();
    }
    LoopbackServers(const LoopbackServers&) = delete;
    LoopbackServers& operator=(const LoopbackServers&) = delete;
    int AnsweringPort() const { return answeringPort_; }
    int StuckPort() const { return stuckPort_; }

private:
    static SOCKET Listen(int& port)
    {
        const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        int size = sizeof(address);
        ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
        ::listen(listener, SOMAXCONN);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
        port = ::ntohs(address.sin_port);
        return listener;
    }
    void Serve()
    {
        while (!stop_) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(answering_, &readable);
            FD_SET(stuck_, &readable);
            timeval wait{0, 100000};
            if (::select(0, &readable, nullptr, nullptr, &wait) <= 0) {
                continue;
            }
            if (FD_ISSET(answering_, &readable)) {
                ::closesocket(::accept(answering_, nullptr, nullptr));
            }
            if (FD_ISSET(stuck_, &readable)) {
                held_.push_back(::accept(stuck_, nullptr, nullptr));
            }
        }
    }

    SOCKET answering_ = INVALID_SOCKET;
    SOCKET stuck_ = INVALID_SOCKET;
    int answeringPort_ = 0;
    int stuckPort_ = 0;
    std::vector<SOCKET> held_;
    std::atomic<bool> stop_{false};
    std::thread worker_;
};

// The service process's processor time (user and kernel) in seconds.
double ServiceCpuSeconds()
{
    const DWORD processId = testing_support::ServiceStatus().dwProcessId;
    const ScopedHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!process.IsValid() || !::GetProcessTimes(process.Get(), &created, &exited, &kernel, &user)) {
        return 0.0;
    }
    const auto seconds = [](const FILETIME& time) {
        return static_cast<double>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) |
                                   time.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

// The share of one core the service used over the window, in per cent.
double ServiceLoadPercent(DWORD windowMs)
{
    const double cpuBefore = ServiceCpuSeconds();
    const double begin = bench::Now();
    ::Sleep(windowMs);
    return (ServiceCpuSeconds() - cpuBefore) / (bench::Now() - begin) * 100.0;
}

}  // namespace

// 50 programs checked on a port (the shortest timeout, so a look every 2 s) against the same 50
// unchecked, and the restart after a plain exit with and without a stuck URL check beside it,
// each pair in this one run.
void RunLivenessBench(const bench::Settings&)
{
    constexpr DWORD kLoadWindowMs = 30000;
    bench::ScratchFolder folder(L"liveness");
    BenchService service(folder.Path());
    LoopbackServers servers;
    std::vector<std::wstring> checked;
    for (int i = 0; i < kCheckedEntries; ++i) {
        checked.push_back(L"BenchAlive" + std::to_wstring(i) + L".exe");
        AddEntry(checked.back(), service.Program(checked.back()));
    }
    std::vector<std::wstring> names;
    for (int i = 0; i < kLatencySamples; ++i) {
        names.push_back(L"BenchUp" + std::to_wstring(i) + L".exe");
        AddEntry(names.back(), service.Program(names.back()));
    }
    const std::wstring probe = service.Program(L"BenchProbe.exe");
    if (!service.Start()) {
        bench::PrintLine("service", "(could not be started)");
        return;
    }
    // Sixty programs come up first, however long the shared machine takes for them.
    WaitUntil([&] { return ProcessIdsByName(checked.back()).size() + ProcessIdsByName(names.back()).size() >= 2; },
              180000, 200);
    RestartLatency(names, 5000, probe, L"BenchProbe.exe");
    const double unchecked = ServiceLoadPercent(kLoadWindowMs);

    for (const std::wstring& name : checked) {
        const std::wstring key = std::wstring(kWatchListKey) + L"\\" + name;
        SetString(key, L"HangTimeout", L"5");
        SetString(key, L"AliveCheck", L"port " + std::to_wstring(servers.AnsweringPort()));
    }
    ::Sleep(5000);  // the edit's pass and the first looks are over
    const double withChecks = ServiceLoadPercent(kLoadWindowMs);
    char text[160] = {};
    std::snprintf(text, sizeof(text), "%.2f %% of one core, %.2f %% without checks (goal: the "
                                      "difference <= 1 %%)", withChecks, unchecked);
    bench::PrintLine("service with 50 port checks, a look every 2 s each", text);
    bench::PrintRatio("50 port checks: extra load in % of one core", withChecks - unchecked, 1.0);

    // A URL whose server accepts and never answers, beside the programs that are ended.
    const std::wstring stuck = service.Program(L"BenchStuck.exe");
    AddEntry(L"BenchStuck.exe", stuck);
    SetString(std::wstring(kWatchListKey) + L"\\BenchStuck.exe", L"AliveCheck",
              L"url http://127.0.0.1:" + std::to_wstring(servers.StuckPort()) + L"/health");
    ::Sleep(2000);
    RestartLatency(names, 5000, probe, L"BenchProbe.exe");
}

void RunServiceBench(const bench::Settings& settings)
{
    bench::ScratchFolder folder(L"service");
    BenchService service(folder.Path());
    std::vector<std::wstring> names;
    std::wstring probe;
    if (!StartForLatency(service, names, probe)) {
        return;
    }
    RestartLatency(names, 5000, probe, L"BenchProbe.exe");
    RestartLatency(names, 60000, probe, L"BenchProbe.exe");
    CrashLatency(service, 60000);
    for (int count : kBulkSizes) {
        BringUp(service, count);
    }
    if (settings.startsOnly) {
        return;
    }
    IdleWakes(service);
    CrashLoop(service);
}

void RunCrashBench(const bench::Settings&)
{
    bench::ScratchFolder folder(L"service");
    BenchService service(folder.Path());
    std::vector<std::wstring> names;
    std::wstring probe;
    if (StartForLatency(service, names, probe)) {
        RestartLatency(names, 60000, probe, L"BenchProbe.exe");
        CrashLatency(service, 60000);
    }
}
