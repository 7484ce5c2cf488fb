#pragma once

// The benchmark's own timing harness: QueryPerformanceCounter readings,
// warm-up then timed repetitions, and the summary each figure is reported by.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// QueryPerformanceCounter ticks: system-wide, so a reading taken in one
// process can be compared with one taken in another.
std::int64_t Ticks();
double TicksPerSecond();
double TicksToNs(std::int64_t ticks);
double TicksToMs(std::int64_t ticks);

struct Summary {
    std::size_t count = 0;
    double median = 0;
    double min = 0;
    double max = 0;
    double q1 = 0;   // 25th percentile
    double q3 = 0;   // 75th percentile
    double p99 = 0;
};

// Percentiles by linear interpolation between the nearest ranks.
double Percentile(std::vector<double> values, double fraction);
Summary Summarize(const std::vector<double>& values);

struct Repetitions {
    unsigned warmUps = 3;
    unsigned timed = 51;
    unsigned callsPerRep = 500;
};

// Two loops timed in alternating repetitions (A B A B ...), so that a
// machine that gets busier or quieter during the run moves both alike.
// Each value is the time of one call in ns: a repetition's time divided by
// its calls. `a` and `b` are called with the number of calls to make.
template <typename LoopA, typename LoopB>
void TimeAlternating(const Repetitions& reps, LoopA a, LoopB b, std::vector<double>& nsA,
                     std::vector<double>& nsB)
{
    for (unsigned i = 0; i < reps.warmUps; ++i) {
        a(reps.callsPerRep);
        b(reps.callsPerRep);
    }
    nsA.clear();
    nsB.clear();
    for (unsigned i = 0; i < reps.timed; ++i) {
        std::int64_t start = Ticks();
        a(reps.callsPerRep);
        nsA.push_back(TicksToNs(Ticks() - start) / reps.callsPerRep);
        start = Ticks();
        b(reps.callsPerRep);
        nsB.push_back(TicksToNs(Ticks() - start) / reps.callsPerRep);
    }
}

// The CPU time (kernel + user) this process has used, from GetProcessTimes,
// in ms; it moves in the platform's clock steps (10 ms under Wine).
double ProcessCpuMs();

// The same figure from Linux's per-thread scheduler statistics (ns
// resolution), read through Wine's view of the host file system. Wine opens
// files in its server, so /proc/self is the server: the process is found
// instead by `token`, a word its command line carries and no other does.
// Negative where it cannot be read (on Windows, or without /proc).
double HostSchedulerCpuMs(const std::wstring& token);

}  // namespace bench
