// A trace line against the least a line can cost: opening the log file for appending, one write
// and closing it again. Also a line against a bare write on a handle kept open, and a call while
// tracing is off against the on/off test alone.

#include <cstdio>
#include <cwchar>
#include <string>

#include "Bench.h"
#include "common/ScopedHandle.h"
#include "trace/Trace.h"
#include "trace/TraceManager.h"

namespace {

constexpr int kDefaultLines = 4000;
constexpr int kDefaultRounds = 5;
constexpr int kOffCalls = 1000000;
constexpr double kLineGoal = 0.5;
constexpr wchar_t kPadding[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";

// A line of the same length as the trace lines below, ready to write.
std::wstring SampleLine()
{
    wchar_t line[256] = {};
    std::swprintf(line, 256, L"(12:34:56.789) Bench::TraceLine(%d) :  line %d %ls\r\n", 100,
                  1000, kPadding);
    return line;
}

ScopedHandle OpenForAppend(const std::wstring& path)
{
    return ScopedHandle(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
}

void AppendLine(HANDLE file, const std::wstring& line)
{
    DWORD written = 0;
    ::WriteFile(file, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written,
                nullptr);
}

std::string Rate(int lines, double seconds)
{
    char text[64] = {};
    std::snprintf(text, sizeof(text), "%.0f lines/s", seconds > 0.0 ? lines / seconds : 0.0);
    return text;
}

// Calls made before the channel is registered: the process-wide trace is still off.
void MeasureCallsWhileOff(int rounds)
{
    volatile int seen = 0;
    double bestCall = 0.0;
    double bestTest = 0.0;
    bench::BestOfInterleaved(
        rounds,
        [] {
            for (int i = 0; i < kOffCalls; ++i) {
                TraceLog("Bench::TraceOff", __LINE__, L"not written %d %s", i, kPadding);
            }
        },
        bestCall,
        [&seen] {
            for (int i = 0; i < kOffCalls; ++i) {
                seen = seen + (IsTraceOn() ? 1 : 0);
            }
        },
        bestTest);
    bench::PrintRatio("trace call while off / on-off test", bestCall / bestTest);
    char text[64] = {};
    std::snprintf(text, sizeof(text), "%.1f ns a call", bestCall * 1e9 / kOffCalls);
    bench::PrintLine("trace call while off", text);
}

}  // namespace

void RunTraceBench(const bench::Settings& settings)
{
    const int lines = settings.traceLines > 0 ? settings.traceLines : kDefaultLines;
    const int rounds = settings.rounds > 0 ? settings.rounds : kDefaultRounds;

    MeasureCallsWhileOff(rounds);

    const bench::ScratchFolder folder(L"trace");
    const std::wstring logDirectory = folder.Path() + L"\\Log";
    GetTraceManager().RegisterChannel(1, L"QuorbelBench.exe", logDirectory.c_str());
    if (!IsTraceOn()) {
        bench::PrintLine("trace line / open+append+close", "(tracing could not be turned on)");
        return;
    }
    const std::wstring line = SampleLine();
    // One line first, so that both measurements start with the directory and a file in place.
    // The plain appends go to a file of the same directory with a name of the same length, so
    // that finding the file costs both the same.
    TraceLog("Bench::TraceLine", __LINE__, L"line %d %s", 0, kPadding);
    const std::wstring plainPath = logDirectory + L"\\QuorbelBench_plain.log";
    double bestTrace = 0.0;
    double bestPlain = 0.0;
    bench::BestOfInterleaved(
        rounds,
        [lines] {
            for (int i = 0; i < lines; ++i) {
                TraceLog("Bench::TraceLine", __LINE__, L"line %d %s", i, kPadding);
            }
        },
        bestTrace,
        [lines, &line, &plainPath] {
            for (int i = 0; i < lines; ++i) {
                const ScopedHandle file = OpenForAppend(plainPath);
                AppendLine(file.Get(), line);
            }
        },
        bestPlain);

    const ScopedHandle open = OpenForAppend(logDirectory + L"\\QuorbelBench_bare.log");
    const double bestBare = bench::BestOf(rounds, [lines, &line, &open] {
        for (int i = 0; i < lines; ++i) {
            AppendLine(open.Get(), line);
        }
    });

    bench::PrintRatio("trace line / open+append+close", bestTrace / bestPlain, kLineGoal);
    bench::PrintRatio("trace line / bare WriteFile", bestTrace / bestBare);
    bench::PrintLine("TraceLog", Rate(lines, bestTrace));
    bench::PrintLine("open+append+close", Rate(lines, bestPlain));
    bench::PrintLine("bare WriteFile", Rate(lines, bestBare));
}
