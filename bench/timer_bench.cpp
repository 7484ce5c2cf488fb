// timer-bench: timers started and fired per second with 10,000 scheduled, on
// the timer thread's heap, beside a std::priority_queue doing the same pushes
// and pops in the same run. The timer clock is held still while the timers
// are started and then moved past all of them, so every round fires the same
// 10,000 timers in one pass. Not a test: it prints figures.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <queue>
#include <random>
#include <vector>

#include "bench/harness.h"
#include "common/thread/event.h"
#include "common/thread/timer.h"

namespace {

constexpr unsigned kScheduled = 10000;

std::atomic<DWORD> g_now{0x7FFF0000u};
DWORD BenchTick()
{
    return g_now.load();
}

class CountingListener : public TimerListener {
public:
    void Expect(long count)
    {
        fired_ = 0;
        expected_ = count;
    }
    void OnTimer(Timer*, std::intptr_t, std::intptr_t) override
    {
        if (fired_.fetch_add(1) + 1 == expected_) {
            done_.Set();
        }
    }
    bool Wait() { return done_.Wait(60000) == 1; }

private:
    std::atomic<long> fired_{0};
    long expected_ = 0;
    Event done_{false, false};
};

struct Rates {
    double startsPerSecond;
    double firesPerSecond;
    double bothPerSecond;
};

double PerSecond(unsigned count, std::int64_t ticks)
{
    return count / (bench::TicksToMs(ticks) / 1000.0);
}

bool TimerRound(std::vector<std::unique_ptr<Timer>>& timers, const std::vector<int>& intervals,
                CountingListener& listener, Rates& rates)
{
    listener.Expect(static_cast<long>(timers.size()));
    const std::int64_t start = bench::Ticks();
    for (std::size_t i = 0; i < timers.size(); ++i) {
        if (!timers[i]->Start(intervals[i])) {
            return false;
        }
    }
    const std::int64_t started = bench::Ticks();
    // Past every due time; the last timer started again wakes the thread.
    g_now = g_now.load() + 20000;
    if (!timers.back()->Start(0)) {
        return false;
    }
    if (!listener.Wait()) {
        return false;
    }
    const std::int64_t fired = bench::Ticks();
    rates.startsPerSecond = PerSecond(kScheduled, started - start);
    rates.firesPerSecond = PerSecond(kScheduled, fired - started);
    rates.bothPerSecond = PerSecond(kScheduled, fired - start);
    return Timer::IsHeapValid();
}

struct Entry {
    DWORD due;
    Timer* timer;
};
struct LaterFirst {
    bool operator()(const Entry& a, const Entry& b) const
    {
        return TickDifference(a.due, b.due) > 0;
    }
};

void QueueRound(std::vector<std::unique_ptr<Timer>>& timers, const std::vector<int>& intervals,
                Rates& rates)
{
    std::priority_queue<Entry, std::vector<Entry>, LaterFirst> queue;
    volatile std::uintptr_t sink = 0;
    const DWORD now = g_now.load();
    const std::int64_t start = bench::Ticks();
    for (std::size_t i = 0; i < timers.size(); ++i) {
        queue.push(Entry{now + static_cast<DWORD>(intervals[i]), timers[i].get()});
    }
    const std::int64_t started = bench::Ticks();
    while (!queue.empty()) {
        sink = sink + reinterpret_cast<std::uintptr_t>(queue.top().timer);
        queue.pop();
    }
    const std::int64_t fired = bench::Ticks();
    rates.startsPerSecond = PerSecond(kScheduled, started - start);
    rates.firesPerSecond = PerSecond(kScheduled, fired - started);
    rates.bothPerSecond = PerSecond(kScheduled, fired - start);
}

void Print(const char* name, const std::vector<Rates>& rounds)
{
    std::vector<double> starts, fires, both;
    for (const Rates& r : rounds) {
        starts.push_back(r.startsPerSecond);
        fires.push_back(r.firesPerSecond);
        both.push_back(r.bothPerSecond);
    }
    const bench::Summary s = bench::Summarize(starts);
    const bench::Summary f = bench::Summarize(fires);
    const bench::Summary b = bench::Summarize(both);
    std::printf("  %-34s started %10.0f/s  fired %10.0f/s  both %10.0f/s  (median of %zu; "
                "both min %.0f max %.0f)\n",
                name, s.median, f.median, b.median, b.count, b.min, b.max);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    unsigned rounds = 21;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--quick") == 0) {
            rounds = 5;
        } else {
            std::fwprintf(stderr, L"usage: timer-bench [--quick]\n");
            return 2;
        }
    }

    SetTickSource(&BenchTick);
    AddTimerSubsystemReference();
    CountingListener listener;
    std::vector<std::unique_ptr<Timer>> timers;
    std::vector<int> intervals;
    std::mt19937 random(7u);
    for (unsigned i = 0; i < kScheduled; ++i) {
        timers.push_back(std::make_unique<Timer>(&listener, static_cast<int>(i), -1));
        intervals.push_back(1 + static_cast<int>(random() % 10000));
    }

    std::vector<Rates> timerRates;
    std::vector<Rates> queueRates;
    Rates warmUp{};
    if (!TimerRound(timers, intervals, listener, warmUp)) {
        std::fprintf(stderr, "timer-bench: the timers did not all fire\n");
        return 1;
    }
    for (unsigned round = 0; round < rounds; ++round) {
        Rates rates{};
        if (!TimerRound(timers, intervals, listener, rates)) {
            std::fprintf(stderr, "timer-bench: the timers did not all fire\n");
            return 1;
        }
        timerRates.push_back(rates);
        QueueRound(timers, intervals, rates);
        queueRates.push_back(rates);
    }
    std::printf("timer-bench: %u one-shot timers started, then all fired, per round\n", kScheduled);
    Print("TimerThread (Start, fire, OnTimer)", timerRates);
    Print("std::priority_queue push/pop", queueRates);

    // Every Start sets the wake event: what that call alone costs here (under
    // Wine one round trip to the wineserver), with no thread waiting on it.
    Event unwatched(false, false);
    const std::int64_t setStart = bench::Ticks();
    for (unsigned i = 0; i < kScheduled; ++i) {
        unwatched.Set();
    }
    std::printf("  %-34s %.1f us per call\n", "SetEvent alone (no waiter)",
                bench::TicksToMs(bench::Ticks() - setStart) * 1000.0 / kScheduled);

    timers.clear();
    ReleaseTimerSubsystemReference();
    SetTickSource(nullptr);
    return 0;
}
