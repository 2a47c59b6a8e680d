// The watch pass against a bare process snapshot, and what a long run of passes holds on to while
// names come and go on the watch list.

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Bench.h"
#include "ProcessUsage.h"
#include "common/ScopedHandle.h"
#include "config/CQuorbelServiceHelper.h"
#include "paths/ModulePaths.h"
#include "process/ProcessTable.h"
#include "watch/CQuorbelServiceThread.h"

namespace {

constexpr int kEntryCounts[] = {1, 10, 50};
constexpr int kGoalEntries = 50;
constexpr double kPassGoal = 1.5;
constexpr int kDefaultRounds = 15;
constexpr int kChurnPasses = 10000;
constexpr int kChurnEvery = 20;  // passes between two churned names
constexpr int kWarmPasses = 1000;
constexpr wchar_t kCompanion[] = L"QuorbelServiceManager.exe";
constexpr DWORD kStartTimeoutMs = 30000;

// Copies of the sleeper fixture, started under names of their own and ended by the destructor.
class RunningPrograms {
public:
    explicit RunningPrograms(const std::wstring& folder) : folder_(folder) {}
    ~RunningPrograms()
    {
        for (const PROCESS_INFORMATION& info : started_) {
            ::TerminateProcess(info.hProcess, 0);
            ::WaitForSingleObject(info.hProcess, 5000);
            ::CloseHandle(info.hThread);
            ::CloseHandle(info.hProcess);
        }
    }
    RunningPrograms(const RunningPrograms&) = delete;
    RunningPrograms& operator=(const RunningPrograms&) = delete;

    // The copy's path; the program is started unless only its path is wanted.
    std::wstring Add(const std::wstring& fileName, bool start = true)
    {
        const std::wstring path = folder_ + L"\\" + fileName;
        const std::wstring sleeper = std::wstring(GetModuleDirectory().GetString()) +
                                     L"\\fixture_sleeper.exe";
        ::CopyFileW(sleeper.c_str(), path.c_str(), FALSE);
        if (start) {
            std::wstring commandLine = L"\"" + path + L"\"";
            STARTUPINFOW startup{};
            startup.cb = sizeof(startup);
            PROCESS_INFORMATION info{};
            if (::CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0,
                                 nullptr, folder_.c_str(), &startup, &info)) {
                started_.push_back(info);
            }
        }
        return path;
    }

private:
    std::wstring folder_;
    std::vector<PROCESS_INFORMATION> started_;
};

// The Wine user's watch list (HKCU is that user's hive below HKEY_USERS as well).
class BenchWatchList {
public:
    BenchWatchList() { ::RegDeleteTreeW(HKEY_CURRENT_USER, CQuorbelServiceHelper::kBaseKeyPath); }
    ~BenchWatchList() { ::RegDeleteTreeW(HKEY_CURRENT_USER, CQuorbelServiceHelper::kBaseKeyPath); }
    BenchWatchList(const BenchWatchList&) = delete;
    BenchWatchList& operator=(const BenchWatchList&) = delete;

    void Add(const std::wstring& name, const std::wstring& path)
    {
        Set(EntryKey(name), L"Path", path);
        Set(EntryKey(name), L"Status", L"1");
    }
    void Remove(const std::wstring& name)
    {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, EntryKey(name).c_str());
    }
    void SetInterval(const std::wstring& text)
    {
        Set(CQuorbelServiceHelper::kBaseKeyPath, L"Interval", text);
    }

private:
    static std::wstring EntryKey(const std::wstring& name)
    {
        return std::wstring(CQuorbelServiceHelper::kBaseKeyPath) + L"\\" + name;
    }
    static void Set(const std::wstring& key, const wchar_t* value, const std::wstring& text)
    {
        ::RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), value, REG_SZ, text.c_str(),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
};

// The machine has been up for an hour: no pass is held off.
DWORD WINAPI UpForAnHour()
{
    return 3600000;
}

XStringW companionFolder;
XStringW CompanionFolder()
{
    return companionFolder;
}

int starts = 0;
// A start that fails at once, as for a program that cannot be found.
DWORD FailingStart(UserLogon&, const XStringW&, const XStringW&, const XStringW&,
                   ScopedHandle*)
{
    ++starts;
    return 0;
}

// A watch thread that is never started: the probe calls its passes itself.
void PrepareWatch(CQuorbelServiceThread& watch, const std::wstring& folder)
{
    companionFolder = folder.c_str();
    watch.seams.tickCount = &UpForAnHour;
    watch.startTick = 0;
    watch.startDelay = 40000;
    watch.seams.moduleDirectory = &CompanionFolder;
    watch.seams.launcher = &FailingStart;
    watch.seams.programStartWaitMs = 0;
}

// What one "is it running" test cost before the pass kept a table: a whole snapshot walked.
int WalkOneSnapshot()
{
    int processes = 0;
    const ScopedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    if (snapshot && ::Process32FirstW(snapshot.Get(), &entry)) {
        do {
            ++processes;
        } while (::Process32NextW(snapshot.Get(), &entry));
    }
    return processes;
}

bool AllRunning(const std::vector<std::wstring>& names)
{
    const double deadline = bench::Now() + kStartTimeoutMs / 1000.0;
    while (bench::Now() < deadline) {
        const ProcessTable table = ProcessTable::Take();
        bool all = true;
        for (const std::wstring& name : names) {
            all = all && table.IsRunning(name.c_str());
        }
        if (all) {
            return true;
        }
        ::Sleep(50);
    }
    return false;
}

std::string Kib(SIZE_T bytes)
{
    char text[32] = {};
    std::snprintf(text, sizeof(text), "%lu KiB", static_cast<unsigned long>(bytes / 1024));
    return text;
}

}  // namespace

void RunPassBench(const bench::Settings& settings)
{
    const int rounds = settings.rounds > 0 ? settings.rounds * 3 : kDefaultRounds;
    bench::ScratchFolder folder(L"pass");
    RunningPrograms programs(folder.Path());
    BenchWatchList watchList;
    std::vector<std::wstring> names{kCompanion};
    programs.Add(kCompanion);

    for (const int entries : kEntryCounts) {
        while (static_cast<int>(names.size()) <= entries) {
            const std::wstring name = L"PassBench" + std::to_wstring(names.size()) + L".exe";
            watchList.Add(name, programs.Add(name));
            names.push_back(name);
        }
        if (!AllRunning(names)) {
            bench::PrintLine("pass / one snapshot", "(the programs did not come up)");
            return;
        }
        CQuorbelServiceThread watch;
        PrepareWatch(watch, folder.Path());
        starts = 0;
        watch.ThreadFunc();
        int processes = 0;
        double pass = 0.0;
        double snapshot = 0.0;
        bench::BestOfInterleaved(
            rounds, [&] { watch.ThreadFunc(); }, pass, [&] { processes = WalkOneSnapshot(); },
            snapshot);
        char label[96] = {};
        std::snprintf(label, sizeof(label), "pass / one snapshot, %d running entries, %d processes",
                      entries, processes);
        if (starts != 0) {
            bench::PrintLine(label, "(a program was started: not a steady pass)");
            continue;
        }
        bench::PrintRatio(label, snapshot > 0.0 ? pass / snapshot : 0.0,
                          entries == kGoalEntries ? kPassGoal : -1.0);
    }
}

void RunChurnBench(const bench::Settings&)
{
    bench::ScratchFolder folder(L"churn");
    RunningPrograms programs(folder.Path());
    BenchWatchList watchList;
    programs.Add(kCompanion);
    watchList.Add(L"Steady.exe", programs.Add(L"Steady.exe"));
    watchList.SetInterval(L"0");
    if (!AllRunning({kCompanion, L"Steady.exe"})) {
        bench::PrintLine("RSS and handles after 10^4 passes", "(the programs did not come up)");
        return;
    }
    CQuorbelServiceThread watch;
    PrepareWatch(watch, folder.Path());

    // Every few passes a name that cannot start joins the list and the one before it leaves.
    std::wstring churned;
    int churnedNames = 0;
    testing_support::ProcessUsage warm;
    for (int pass = 1; pass <= kChurnPasses; ++pass) {
        if (pass % kChurnEvery == 0) {
            if (!churned.empty()) {
                watchList.Remove(churned);
            }
            churned = L"Churned" + std::to_wstring(++churnedNames) + L".exe";
            watchList.Add(churned, folder.Path() + L"\\missing\\" + churned);
        }
        watch.ThreadFunc();
        if (pass == kWarmPasses) {
            warm = testing_support::CurrentUsage();
        }
    }
    const testing_support::ProcessUsage after = testing_support::CurrentUsage();

    char text[160] = {};
    std::snprintf(text, sizeof(text), "%d names churned, %d console records left", churnedNames,
                  static_cast<int>(watch.consoleRecords.pinfoList.size()));
    bench::PrintLine("churn over 10^4 passes", text);
    bench::PrintLine("RSS after 10^3 / 10^4 passes",
                     Kib(warm.workingSetBytes) + " / " + Kib(after.workingSetBytes));
    bench::PrintRatio("RSS growth from 10^3 to 10^4 passes",
                      warm.workingSetBytes > 0
                          ? static_cast<double>(after.workingSetBytes) / warm.workingSetBytes
                          : 0.0,
                      1.05);
    bench::PrintLine("private bytes after 10^3 / 10^4 passes",
                     Kib(warm.privateBytes) + " / " + Kib(after.privateBytes));
    bench::PrintLine("handles after 10^3 / 10^4 passes",
                     std::to_string(warm.handles) + " / " + std::to_string(after.handles));
}
