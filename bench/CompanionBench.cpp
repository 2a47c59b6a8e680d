// The companion: what it costs while it watches 50 programs, 10 of them with windows, served by a
// channel in this probe; and, through the real service, how soon a program whose window stopped
// answering runs again. Both need a display (run-bench.sh runs the probe under Xvfb).

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "Bench.h"
#include "ServiceControl.h"
#include "TestSupport.h"
#include "channel/ChannelServer.h"
#include "channel/HangReports.h"
#include "common/ScopedHandle.h"
#include "process/Sessions.h"

namespace {

using namespace bench;

constexpr int kWatched = 50;
constexpr int kWithWindows = 10;
constexpr DWORD kLoadWindowMs = 30000;
constexpr DWORD kHangTimeoutS = 5;
constexpr int kHangSamples = 3;

using testing_support::CopyInto;
using testing_support::SetString;
using testing_support::WaitUntil;
using testing_support::WriteTextFile;

// Under Wine the times of another process read as 0: the host's /proc has them, as clock ticks of
// 10 ms, for the process whose command line names the program.
bool HostCpuMs(const std::wstring& programPath, ULONGLONG& milliseconds)
{
    WIN32_FIND_DATAW found{};
    const ScopedFindHandle search(::FindFirstFileW(L"Z:\\proc\\*", &found));
    if (!search) {
        return false;
    }
    // The whole path: other prefixes on the machine may run a companion too.
    const std::string wanted = testing_support::Utf8(programPath);
    do {
        const std::wstring pid = found.cFileName;
        if (pid.empty() || pid.find_first_not_of(L"0123456789") != std::wstring::npos) {
            continue;
        }
        std::string commandLine = testing_support::ReadFileBytes(L"Z:\\proc\\" + pid + L"\\cmdline");
        if (commandLine.find(wanted) == std::string::npos) {
            continue;
        }
        const std::string stat = testing_support::ReadFileBytes(L"Z:\\proc\\" + pid + L"\\stat");
        // The fields after the command's name in parentheses: state is the 3rd, utime the 14th.
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) {
            return false;
        }
        std::vector<unsigned long long> fields;
        for (size_t at = close + 2; at < stat.size() && fields.size() < 13;) {
            const size_t end = stat.find(' ', at);
            fields.push_back(std::strtoull(stat.c_str() + at, nullptr, 10));
            at = end == std::string::npos ? stat.size() : end + 1;
        }
        if (fields.size() < 13) {
            return false;
        }
        milliseconds = (fields[11] + fields[12]) * 10;
        return true;
    } while (::FindNextFileW(search.Get(), &found));
    return false;
}

ULONGLONG CpuMs(HANDLE process)
{
    FILETIME created{}, exited{}, kernel{}, user{};
    ::GetProcessTimes(process, &created, &exited, &kernel, &user);
    const auto value = [](const FILETIME& time) {
        return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return (value(kernel) + value(user)) / 10000;
}

// Wine leaves PrivateUsage at 0 and keeps the same figure in PagefileUsage.
SIZE_T PrivateBytes(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    ::K32GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof(counters));
    return counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
}

// The real companion against a channel served here, with 50 targets of which 10 have a window.
void CompanionLoad(const std::wstring& folder)
{
    DWORD session = 0;
    FindOwnSessionId(session);
    std::vector<PROCESS_INFORMATION> programs;
    std::vector<HangReports::Target> targets;
    for (int i = 0; i < kWatched; ++i) {
        const std::wstring name = L"BenchWatched" + std::to_wstring(i) + L".exe";
        const std::wstring path = folder + L"\\" + name;
        CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) +
                     (i < kWithWindows ? L"\\fixture_window.exe" : L"\\fixture_sleeper.exe"),
                 path);
        programs.push_back(testing_support::StartProgram(path, L""));
        targets.push_back({name.c_str(), programs.back().dwProcessId, session, 30});
    }
    HangReports reports;
    reports.SetTargets(targets);
    ChannelServer channel(reports);
    channel.ServeSession(session);
    channel.EnsureStarted();

    const std::wstring companionPath = folder + L"\\" + kCompanion;
    CopyInto(std::wstring(QUORBEL_DIST_DIR) + L"\\" + kCompanion, companionPath);
    PROCESS_INFORMATION companion = testing_support::StartProgram(companionPath, L"");
    const std::wstring sleeperPath = folder + L"\\BenchBaseline.exe";
    CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\fixture_sleeper.exe", sleeperPath);
    PROCESS_INFORMATION baseline = testing_support::StartProgram(sleeperPath, L"");
    if (!WaitUntil([&] { return reports.LastContact() != 0; }, 20000)) {
        bench::PrintLine("companion with 50 watched programs", "(the companion never asked)");
    } else {
        ::Sleep(2000);  // past its start-up
        ULONGLONG hostBefore = 0;
        const bool onHost = HostCpuMs(companionPath, hostBefore);
        const ULONGLONG cpuBefore = CpuMs(companion.hProcess);
        const double begin = bench::Now();
        ::Sleep(kLoadWindowMs);
        const double seconds = bench::Now() - begin;
        ULONGLONG hostAfter = 0;
        const ULONGLONG used = onHost && HostCpuMs(companionPath, hostAfter)
                                   ? hostAfter - hostBefore
                                   : CpuMs(companion.hProcess) - cpuBefore;
        const double percent = used / (seconds * 10.0);
        const double mib = PrivateBytes(companion.hProcess) / (1024.0 * 1024.0);
        const double baselineMib = PrivateBytes(baseline.hProcess) / (1024.0 * 1024.0);
        char text[200] = {};
        std::snprintf(text, sizeof(text),
                      "CPU %.3f %% of one core%s (goal < 1 %%), private bytes %.1f MiB (goal <= 8 MiB; "
                      "an idle sleeper: %.1f MiB)",
                      percent, onHost ? "" : " (as Windows reports it)", mib, baselineMib);
        bench::PrintLine("companion with 50 watched programs, 10 with windows, over 30 s", text);
    }
    for (PROCESS_INFORMATION* info : {&companion, &baseline}) {
        ::TerminateProcess(info->hProcess, 0);
        ::CloseHandle(info->hThread);
        ::CloseHandle(info->hProcess);
    }
    channel.Stop();
    for (PROCESS_INFORMATION& info : programs) {
        ::TerminateProcess(info.hProcess, 0);
        ::CloseHandle(info.hThread);
        ::CloseHandle(info.hProcess);
    }
}

// The GetTickCount64 readings a window fixture wrote when its window stopped answering.
std::vector<ULONGLONG> HungAt(const std::wstring& path)
{
    std::vector<ULONGLONG> moments;
    const std::string text = testing_support::ReadFileBytes(path + L".hung");
    for (size_t at = 0; at < text.size();) {
        moments.push_back(std::strtoull(text.c_str() + at, nullptr, 10));
        const size_t end = text.find('\n', at);
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return moments;
}

// The real service and companion: from the window's last answer to the next start of the program.
void HangLatency(const std::wstring& folder)
{
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kWatchListKey);
    testing_support::PutServiceFiles(folder);
    const std::wstring path = folder + L"\\BenchFrozen.exe";
    CopyInto(std::wstring(QUORBEL_TESTBIN_DIR) + L"\\fixture_window.exe", path);
    // Each run lasts past 10 s, so that no restart waits as after a quick exit.
    WriteTextFile(path + L".hang", "6000");
    const std::wstring key = std::wstring(kWatchListKey) + L"\\BenchFrozen.exe";
    SetString(key, L"Path", path);
    SetString(key, L"Status", L"1");
    SetString(key, L"HangTimeout", std::to_wstring(kHangTimeoutS));

    DWORD error = 0;
    if (!testing_support::CreateAndStartService(L"\"" + folder + L"\\QuorbelService.exe\" service",
                                                true, &error)) {
        bench::PrintLine("hang to running again", "(the service could not be started)");
        return;
    }
    // A start is seen within 10 ms; the samples are the gaps between a hang and the next start.
    std::vector<ULONGLONG> startsSeen;
    const ULONGLONG deadline = ::GetTickCount64() + (kHangSamples + 1) * 30000ULL;
    while (startsSeen.size() < kHangSamples + 1 && ::GetTickCount64() < deadline) {
        while (startsSeen.size() < testing_support::StartsOf(path).size()) {
            startsSeen.push_back(::GetTickCount64());
        }
        ::Sleep(10);
    }
    const std::vector<ULONGLONG> hung = HungAt(path);
    std::vector<double> samples;
    for (size_t i = 0; i < hung.size() && i + 1 < startsSeen.size(); ++i) {
        samples.push_back((startsSeen[i + 1] - hung[i]) / 1000.0);
    }
    std::string figures;
    for (const double sample : samples) {
        char one[16] = {};
        std::snprintf(one, sizeof(one), "%s%.1f", figures.empty() ? "" : ", ", sample);
        figures += one;
    }
    char text[200] = {};
    std::snprintf(text, sizeof(text), "%s s (goal <= %lu s: the timeout + 3 s)",
                  figures.empty() ? "(no restart seen)" : figures.c_str(),
                  static_cast<unsigned long>(kHangTimeoutS + 3));
    bench::PrintLine("window stops answering to the program running again, HangTimeout 5", text);

    testing_support::RemoveService();
    testing_support::TerminateAllByName(L"BenchFrozen.exe");
    testing_support::TerminateAllByName(kCompanion);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, kWatchListKey);
    testing_support::RemoveServiceOverride();
}

}  // namespace

void RunCompanionBench(const bench::Settings&)
{
    bench::ScratchFolder load(L"companion_load");
    CompanionLoad(load.Path());
    bench::ScratchFolder hang(L"companion_hang");
    HangLatency(hang.Path());
}
