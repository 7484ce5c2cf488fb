#pragma once

// The six measurements. Each prints its own section and adds its figures to
// the goal table; one that cannot be taken says why through Report::Error.

#include <string>

#include "bench/provider_session.h"
#include "bench/report.h"

namespace bench {

struct BenchOptions {
    Repetitions refreshReps;           // refresh cost beside its floor
    double rateSeconds = 0.3;          // one repetition of the rate loops
    unsigned rateReps = 9;
    unsigned latencySamples = 200;
    double idleSeconds = 30;
    unsigned startups = 10;            // fresh processes, and as many load cycles in one
    unsigned cycles = 1000;
    double latencyRateHz = 9;          // what router-sim is started with
};

// 1. One Refresh of a refresher holding an enumerator, beside the floor.
void MeasureRefreshCost(ProviderSession& session, wmihost::Host& host, const BenchOptions& options,
                        Report& report);
// 2. Refreshes per second on 1, 2 and 4 threads, beside the floor loop.
void MeasureRefreshRate(ProviderSession& session, const BenchOptions& options, Report& report);
// 3. From router-sim's publish to the value in a refreshed instance.
void MeasurePublishLatency(ProviderSession& session, const BenchOptions& options, Report& report);
// 4. The poller's idle CPU beside a bare 100 ms wait loop, each in a process of its own.
void MeasureIdleCost(const BenchOptions& options, Report& report);
// 5. LoadLibrary to the first refreshed sample.
void MeasureStartup(wmihost::Host& host, const BenchOptions& options, Report& report);
// 6. Whole create-use-release cycles with the DLL freed each time.
void MeasureLoadCycles(wmihost::Host& host, const BenchOptions& options, Report& report);

// The child processes measurements 4 and 5 run in; the exit code.
// `token` is a word of the child's command line that names its Linux process.
int RunIdleProviderChild(double seconds, const std::wstring& token);
int RunIdleBareLoopChild(double seconds, const std::wstring& token);
int RunStartupChild();

}  // namespace bench
