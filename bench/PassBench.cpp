// The watch pass against a bare process snapshot, and memory and handles under churn.

#include "Bench.h"

void RunPassBench(const bench::Settings&)
{
    bench::PrintLine("pass / one snapshot", "(not measured yet)");
}

void RunChurnBench(const bench::Settings&)
{
    bench::PrintLine("RSS and handles after 10^4 passes", "(not measured yet)");
}
