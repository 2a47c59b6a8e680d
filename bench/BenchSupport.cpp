#include "Bench.h"

#include <cstdio>

#include "TestSupport.h"

namespace bench {

double Now()
{
    static const double ticksPerSecond = [] {
        LARGE_INTEGER frequency{};
        ::QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart);
    }();
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / ticksPerSecond;
}

double BestOf(int rounds, const std::function<void()>& body)
{
    double best = 0.0;
    for (int round = 0; round < rounds; ++round) {
        const double start = Now();
        body();
        const double elapsed = Now() - start;
        if (round == 0 || elapsed < best) {
            best = elapsed;
        }
    }
    return best;
}

void BestOfInterleaved(int rounds, const std::function<void()>& first, double& bestFirst,
                       const std::function<void()>& second, double& bestSecond)
{
    bestFirst = 0.0;
    bestSecond = 0.0;
    for (int round = 0; round < rounds; ++round) {
        // Alternate which goes first, so neither always runs on a warmer machine.
        const bool firstLeads = (round % 2) == 0;
        double elapsedFirst = 0.0;
        double elapsedSecond = 0.0;
        for (int turn = 0; turn < 2; ++turn) {
            const bool runFirst = (turn == 0) == firstLeads;
            const double start = Now();
            (runFirst ? first : second)();
            (runFirst ? elapsedFirst : elapsedSecond) = Now() - start;
        }
        if (round == 0 || elapsedFirst < bestFirst) {
            bestFirst = elapsedFirst;
        }
        if (round == 0 || elapsedSecond < bestSecond) {
            bestSecond = elapsedSecond;
        }
    }
}

void PrintRatio(const char* label, double ratio, double goal)
{
    if (goal < 0.0) {
        std::printf("%s: %.2f\n", label, ratio);
    } else {
        std::printf("%s: %.2f (goal <= %.2f)\n", label, ratio, goal);
    }
    std::fflush(stdout);
}

void PrintLine(const char* label, const std::string& text)
{
    std::printf("%s: %s\n", label, text.c_str());
    std::fflush(stdout);
}

ScratchFolder::ScratchFolder(const wchar_t* name)
{
    wchar_t temp[MAX_PATH] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH, temp);
    path_ = (length > 0 && length < MAX_PATH) ? temp : L"C:\\";
    path_ += L"QuorbelBench_";
    path_ += name;
    testing_support::RemoveTree(path_);
    ::CreateDirectoryW(path_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder()
{
    testing_support::RemoveTree(path_);
}

}  // namespace bench
