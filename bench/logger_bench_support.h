#pragma once

// What the logger benchmarks share: an output that only counts what reaches
// it, threads started together, each call timed on its own.

#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

#include "bench/harness.h"
#include "common/logger/log_output.h"
#include "common/logger/log_record.h"

namespace bench {

class CountingOutput : public LogOutput {
public:
    explicit CountingOutput(std::atomic<long>& count) : count_(count) {}
    bool IsOpen() const override { return true; }
    void Write(const LogRecord&) override { count_.fetch_add(1, std::memory_order_relaxed); }

private:
    std::atomic<long>& count_;
};

// Starts `threads` threads together; each runs work(thread index).
template <typename Work>
void RunTogether(unsigned threads, Work work)
{
    std::atomic<unsigned> waiting{threads};
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            waiting.fetch_sub(1);
            while (waiting.load() != 0) {
            }
            work(t);
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
}

// Every call timed on its own: one QueryPerformanceCounter pair around it.
// The times of all threads are added to `ns`.
template <typename Call>
void TimeCallsOnThreads(unsigned threads, unsigned calls, Call call, std::vector<double>& ns)
{
    std::vector<std::vector<double>> perThread(threads);
    RunTogether(threads, [&](unsigned t) {
        std::vector<double>& mine = perThread[t];
        mine.reserve(calls);
        for (unsigned i = 0; i < calls; ++i) {
            const std::int64_t start = Ticks();
            call(i);
            mine.push_back(TicksToNs(Ticks() - start));
        }
    });
    for (const auto& values : perThread) {
        ns.insert(ns.end(), values.begin(), values.end());
    }
}

inline void WaitForCount(const std::atomic<long>& count, long expected)
{
    while (count.load() < expected) {
        ::Sleep(1);
    }
}

}  // namespace bench
