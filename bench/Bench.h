#pragma once
// The benchmark probe: each section measures one thing against its natural minimum in the same
// run and prints the ratio. Absolute figures depend on the machine and its load; ratios measured
// side by side do not (much), so they are what the printed goals refer to.

#include <windows.h>

#include <functional>
#include <string>

namespace bench {

// The real service's companion, and the watch list the probe fills for the service.
constexpr wchar_t kCompanion[] = L"QuorbelServiceManager.exe";
constexpr wchar_t kWatchListKey[] = L"Software\\QUORBEL\\QuorbelService";

// Seconds since an arbitrary start, from the performance counter.
double Now();

// Runs the body `rounds` times and returns the shortest duration in seconds: the round least
// disturbed by other work on the machine.
double BestOf(int rounds, const std::function<void()>& body);

// Runs two bodies alternately, `rounds` times each, and keeps the best duration of each, so that
// a slow patch of the machine hits both alike.
void BestOfInterleaved(int rounds, const std::function<void()>& first, double& bestFirst,
                       const std::function<void()>& second, double& bestSecond);

// "<label>: <ratio> (goal <= <goal>)"; a negative goal prints no goal.
void PrintRatio(const char* label, double ratio, double goal = -1.0);
// "<label>: <text>"
void PrintLine(const char* label, const std::string& text);

// A fresh, empty folder for the probe's files, removed again by the destructor.
class ScratchFolder {
public:
    explicit ScratchFolder(const wchar_t* name);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
};

// Sizes of the runs, from the command line; 0 means the section's default.
struct Settings {
    int traceLines = 0;  // lines per round of the trace section
    int rounds = 0;      // rounds per measurement
    bool startsOnly = false;  // the service's section: its restarts and bulk starts alone
};

}  // namespace bench

// The sections, one source file each. RunTraceBench turns the process-wide trace on (into a
// folder it removes again), so it runs after the others.
void RunTraceBench(const bench::Settings& settings);
void RunPassBench(const bench::Settings& settings);
void RunChurnBench(const bench::Settings& settings);
// Drives the real service in the probe's prefix.
void RunServiceBench(const bench::Settings& settings);
// A program's restart after a plain end beside its restart after a crash, alone.
void RunCrashBench(const bench::Settings& settings);
// The liveness checks' cost in the real service, and a stuck URL beside a restart.
void RunLivenessBench(const bench::Settings& settings);
// The companion's cost, and a hung window's way back through the real service; needs a display.
void RunCompanionBench(const bench::Settings& settings);
