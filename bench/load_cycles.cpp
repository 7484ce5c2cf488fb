// 6. Whole create-use-release cycles: LoadLibrary, a provider and a
// refresher with an enumerator, one Refresh, everything released, and
// FreeLibrary once DllCanUnloadNow answers S_OK; what the process holds is
// taken every 100 cycles.

#include <windows.h>
#include <psapi.h>

#include <algorithm>

#include "bench/measurements.h"
#include "process_census.h"

namespace bench {

namespace {

struct CensusRow {
    unsigned cycle;
    ProcessCensus census;
    double privateKiB;
    long hostObjects;
};

// The process's private memory. PrivateUsage reads 0 under Wine, where
// PagefileUsage carries the figure (resident anonymous memory).
double PrivateKiB()
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                sizeof counters)) {
        return -1;
    }
    const SIZE_T bytes = counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
    return static_cast<double>(bytes) / 1024;
}

// Every cycle frees the DLL; how long DllCanUnloadNow may keep answering
// S_FALSE after the last release before the cycle counts as held.
constexpr double kUnloadWaitMs = 2000;

}  // namespace

void MeasureLoadCycles(wmihost::Host& host, const BenchOptions& options, Report& report)
{
    report.Section("6. Create-use-release cycles with FreeLibrary");
    std::vector<CensusRow> rows;
    unsigned notAtOnce = 0;
    double slowestUnloadMs = 0;
    const std::int64_t start = Ticks();
    for (unsigned cycle = 1; cycle <= options.cycles; ++cycle) {
        ProviderSession session(host);
        RefresherSlot slot;
        std::wstring error;
        if (!session.Open(error) || !session.AddRefresher(slot, error)) {
            report.Error(Format("cycles: cycle %u: ", cycle) + std::string(error.begin(), error.end()));
            return;
        }
        const HRESULT hr = slot.refresher->Refresh(0);
        session.RemoveRefresher(slot);
        session.Release();
        if (FAILED(hr)) {
            report.Error(Format("cycles: cycle %u: Refresh failed (0x%08lX)", cycle, static_cast<unsigned long>(hr)));
            return;
        }
        if (session.CanUnloadNow() != S_OK) {
            ++notAtOnce;
            const std::int64_t wait = Ticks();
            while (session.CanUnloadNow() != S_OK && TicksToMs(Ticks() - wait) < kUnloadWaitMs) {
                ::Sleep(1);
            }
            slowestUnloadMs = std::max(slowestUnloadMs, TicksToMs(Ticks() - wait));
            if (session.CanUnloadNow() != S_OK) {
                report.Error(Format("cycles: cycle %u: DllCanUnloadNow still S_FALSE after %.0f ms", cycle,
                                    kUnloadWaitMs));
                return;
            }
        }
        session.Unload();
        if (cycle == 1 || cycle % 100 == 0 || cycle == options.cycles) {
            rows.push_back({cycle, ProcessCensus::Take(), PrivateKiB(), host.LiveObjects()});
        }
    }
    const double elapsedMs = TicksToMs(Ticks() - start);
    report.Line("%u cycles in %.1f s (%.2f ms a cycle, census included); DllCanUnloadNow not S_OK at once in %u"
                " (slowest %.1f ms)",
                options.cycles, elapsedMs / 1000, elapsedMs / options.cycles, notAtOnce, slowestUnloadMs);
    report.Line("%8s %8s %8s %8s %12s %12s", "cycle", "handles", "threads", "views", "private KiB", "host objects");
    for (const CensusRow& row : rows) {
        report.Line("%8u %8ld %8ld %8ld %12.0f %12ld", row.cycle, row.census.handles, row.census.threads,
                    row.census.mappedViews, row.privateKiB, row.hostObjects);
    }
    const CensusRow* from = nullptr;
    for (const CensusRow& row : rows) {
        if (row.cycle == 100) {
            from = &row;
        }
    }
    const CensusRow& to = rows.back();
    if (from == nullptr || from == &to) {
        report.Info("6. cycles 100 -> last", "fewer than 200 cycles", "(not compared)");
        return;
    }
    const unsigned span = to.cycle - from->cycle;
    const double growth = to.privateKiB - from->privateKiB;
    report.Goal(Format("6. handles, cycle %u -> %u", from->cycle, to.cycle),
                Format("%ld -> %ld", from->census.handles, to.census.handles), "flat",
                to.census.handles <= from->census.handles);
    report.Goal(Format("6. threads, cycle %u -> %u", from->cycle, to.cycle),
                Format("%ld -> %ld", from->census.threads, to.census.threads), "flat",
                to.census.threads <= from->census.threads);
    report.Goal(Format("6. mapped views, cycle %u -> %u", from->cycle, to.cycle),
                Format("%ld -> %ld", from->census.mappedViews, to.census.mappedViews), "flat",
                to.census.mappedViews <= from->census.mappedViews);
    report.Goal(Format("6. private KiB, cycle %u -> %u", from->cycle, to.cycle),
                Format("%.0f -> %.0f (%+.2f KiB/cycle)", from->privateKiB, to.privateKiB, growth / span), "flat",
                growth <= 0);
}

}  // namespace bench
