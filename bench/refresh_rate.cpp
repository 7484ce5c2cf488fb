// 2. Refreshes per second on 1, 2 and 4 threads, each on a refresher of its
// own, beside the floor loop on as many threads.

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <objbase.h>

#include "bench/client_check_floor.h"
#include "bench/measurements.h"

namespace bench {

namespace {

struct alignas(64) ThreadCount {
    std::uint64_t calls = 0;
};

// Five DWORDs of a thread's own, as each refresher has an instance of its own.
struct alignas(64) FloorSlots {
    volatile DWORD values[5] = {};
};

// Calls `body(thread)` on `threads` COM threads for `seconds`; calls a second.
template <typename Body>
double CallsPerSecond(unsigned threads, double seconds, Body body)
{
    std::atomic<unsigned> ready{0};
    std::atomic<bool> go{false};
    std::atomic<bool> stop{false};
    std::vector<ThreadCount> counts(threads);
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            const HRESULT com = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            ++ready;
            while (!go.load()) {
                ::SwitchToThread();
            }
            std::uint64_t calls = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                body(t, calls);
                ++calls;
            }
            counts[t].calls = calls;
            if (SUCCEEDED(com)) {
                ::CoUninitialize();
            }
        });
    }
    while (ready.load() != threads) {
        ::SwitchToThread();
    }
    const std::int64_t start = Ticks();
    go = true;
    ::Sleep(static_cast<DWORD>(seconds * 1000));
    stop = true;
    const std::int64_t end = Ticks();
    for (std::thread& worker : workers) {
        worker.join();
    }
    std::uint64_t total = 0;
    for (const ThreadCount& count : counts) {
        total += count.calls;
    }
    return static_cast<double>(total) * 1e3 / TicksToMs(end - start);
}

}  // namespace

void MeasureRefreshRate(ProviderSession& session, const BenchOptions& options, Report& report)
{
    report.Section("2. Refreshes per second beside the floor loop");
    report.Line("each figure: 1 warm-up + %u repetitions of %.1f s, provider and floor alternating",
                options.rateReps, options.rateSeconds);
    for (unsigned threads : {1u, 2u, 4u}) {
        std::vector<RefresherSlot> slots(threads);
        std::wstring error;
        for (RefresherSlot& slot : slots) {
            if (!session.AddRefresher(slot, error)) {
                report.Error("refresh rate: " + std::string(error.begin(), error.end()));
                return;
            }
        }
        std::atomic<long> failed{0};
        auto refresh = [&](unsigned t, std::uint64_t) {
            if (FAILED(slots[t].refresher->Refresh(0))) {
                ++failed;
            }
        };
        ClientCheckFloor floor;
        std::vector<FloorSlots> floorSlots(threads);
        auto floorCall = [&](unsigned t, std::uint64_t n) {
            floor.Call(floorSlots[t].values, static_cast<DWORD>(n));
        };
        CallsPerSecond(threads, options.rateSeconds / 2, refresh);
        CallsPerSecond(threads, options.rateSeconds / 2, floorCall);
        std::vector<double> refreshRates;
        std::vector<double> floorRates;
        for (unsigned rep = 0; rep < options.rateReps; ++rep) {
            refreshRates.push_back(CallsPerSecond(threads, options.rateSeconds, refresh));
            floorRates.push_back(CallsPerSecond(threads, options.rateSeconds, floorCall));
        }
        for (RefresherSlot& slot : slots) {
            session.RemoveRefresher(slot);
        }
        if (failed.load() != 0) {
            report.Error(Format("refresh rate: %ld refreshes failed on %u threads", failed.load(), threads));
            return;
        }
        const Summary provider = Summarize(refreshRates);
        const Summary base = Summarize(floorRates);
        report.Figure(Format("%u thread(s), Refresh", threads).c_str(), provider, "/s");
        report.Figure(Format("%u thread(s), floor", threads).c_str(), base, "/s");
        // As a cost ratio: how much longer the provider's calls take than the floor's.
        const double ratio = base.median / provider.median;
        report.Line("%u thread(s): cost ratio (floor rate / Refresh rate) %.3f", threads, ratio);
        report.Goal(Format("2. Refresh cost ratio, %u thread(s)", threads),
                    Format("%.3fx (%.0f / %.0f per s)", ratio, provider.median, base.median), "<= 1.05x",
                    ratio <= 1.05);
    }
}

}  // namespace bench
