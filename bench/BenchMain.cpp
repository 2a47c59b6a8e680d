// The benchmark probe: prints, section by section, how the product's costs compare with their
// minimum, each ratio measured within this one run.
// Usage: quorbel_bench.exe [trace lines per round] [rounds]
//        quorbel_bench.exe pass [rounds]  the watch pass's section alone
//        quorbel_bench.exe companion      the companion's section alone
//        quorbel_bench.exe crash          a restart after an end and after a crash, alone
//        quorbel_bench.exe starts         the service's restarts and bulk starts alone
//        quorbel_bench.exe liveness       the liveness checks' section alone

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Bench.h"

int main(int argc, char** argv)
{
    bench::Settings settings;
    if (argc > 1 && std::strcmp(argv[1], "pass") == 0) {
        settings.rounds = argc > 2 ? std::atoi(argv[2]) : 0;
        RunPassBench(settings);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "crash") == 0) {
        RunCrashBench(settings);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "starts") == 0) {
        settings.startsOnly = true;
        RunServiceBench(settings);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "liveness") == 0) {
        RunLivenessBench(settings);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "companion") == 0) {
        RunCompanionBench(settings);
        return 0;
    }
    if (argc > 1) {
        settings.traceLines = std::atoi(argv[1]);
    }
    if (argc > 2) {
        settings.rounds = std::atoi(argv[2]);
    }
    std::printf("QuorbelService benchmark (ratios measured in this run; lower is better)\n");
    RunPassBench(settings);
    RunChurnBench(settings);
    RunServiceBench(settings);
    RunLivenessBench(settings);
    RunCompanionBench(settings);
    // Last: it turns the process-wide trace on for good, which would slow every later pass.
    RunTraceBench(settings);
    return 0;
}
