// 3. Publish-to-visible latency: router-sim --stamp-time leaves each
// sample's publish time in the block; a reader refreshing every millisecond
// notes when each new value appears in its refreshed instance.

#include <map>
#include <vector>

#include "bench/measurements.h"
#include "bench/router_block_reader.h"

namespace bench {

namespace {

// Changes seen before the reader has watched the block for a whole
// publish period may belong to samples it never saw published.
constexpr unsigned kSkippedChanges = 3;

struct Appearance {
    std::int64_t value;
    std::int64_t visibleTicks;
};

}  // namespace

void MeasurePublishLatency(ProviderSession& session, const BenchOptions& options, Report& report)
{
    report.Section("3. Publish-to-visible latency");
    RouterBlockReader block;
    if (!block.Open()) {
        report.Error("latency: the router's block cannot be mapped");
        return;
    }
    RefresherSlot slot;
    std::wstring error;
    if (!session.AddRefresher(slot, error)) {
        report.Error("latency: " + std::string(error.begin(), error.end()));
        return;
    }

    // Every sample's publish time, by stamp (router-sim --pattern same: the
    // stamp is the value of every counter). The first sighting of a stamp
    // stands; a time seen under two stamps was read while the router was
    // writing the later sample, and belongs to that one only.
    std::map<std::int64_t, std::int64_t> published;
    std::map<std::int64_t, std::int64_t> stampOfTime;
    auto noteBlock = [&] {
        std::int64_t stamp = 0;
        std::int64_t time = 0;
        if (!block.Read(stamp, time) || time == 0 || published.count(stamp) != 0) {
            return;
        }
        const auto earlier = stampOfTime.find(time);
        if (earlier != stampOfTime.end()) {
            published.erase(earlier->second);
        }
        stampOfTime[time] = stamp;
        published[stamp] = time;
    };

    std::vector<Appearance> appearances;
    long failed = 0;
    std::uint64_t iterations = 0;
    DWORD last = ReadSrvConns(slot.instance.get());
    const std::int64_t start = Ticks();
    // A bound far above what the samples need, in case the router stops.
    const double periodMs = 1000.0 / options.latencyRateHz;
    const double limitMs = (options.latencySamples + kSkippedChanges + 10) * periodMs * 3 + 5000;
    while (appearances.size() < options.latencySamples + kSkippedChanges && TicksToMs(Ticks() - start) < limitMs) {
        ::Sleep(1);
        ++iterations;
        if (FAILED(slot.refresher->Refresh(0))) {
            ++failed;
            continue;
        }
        const DWORD value = ReadSrvConns(slot.instance.get());
        const std::int64_t visible = Ticks();
        // The sample now visible was published before this read of the block.
        noteBlock();
        if (value != last) {
            last = value;
            appearances.push_back({value, visible});
        }
    }
    const double elapsedMs = TicksToMs(Ticks() - start);
    // A last look: a value copied by the provider before the router's stamp
    // of it was seen here has its stamp by now.
    ::Sleep(2);
    noteBlock();
    session.RemoveRefresher(slot);

    std::vector<double> latencies;
    unsigned unmatched = 0;
    unsigned backwards = 0;
    for (std::size_t i = kSkippedChanges; i < appearances.size(); ++i) {
        const auto found = published.find(appearances[i].value);
        if (found == published.end()) {
            ++unmatched;
            continue;
        }
        const double ms = TicksToMs(appearances[i].visibleTicks - found->second);
        if (ms < 0) {
            ++backwards;
            continue;
        }
        latencies.push_back(ms);
    }
    if (published.empty()) {
        report.Error("latency: the block carries no publish time (router-sim without --stamp-time?)");
        return;
    }
    if (failed != 0 || latencies.size() < options.latencySamples) {
        report.Error(Format("latency: %zu samples (of %u wanted), %ld refreshes failed, %u unmatched",
                            latencies.size(), options.latencySamples, failed, unmatched));
        return;
    }
    const Summary summary = Summarize(latencies);
    report.Line("router-sim at %.1f Hz; reader: Sleep(1), Refresh, read; %llu iterations in %.1f s (one per %.2f ms)",
                options.latencyRateHz, static_cast<unsigned long long>(iterations), elapsedMs / 1000,
                elapsedMs / static_cast<double>(iterations));
    report.Line("%zu samples (first %u changes skipped), %u unmatched, %u before their publish time",
                latencies.size(), kSkippedChanges, unmatched, backwards);
    report.Figure("publish -> visible", summary, "ms", 1);
    report.Line("p99 %.1f ms", summary.p99);
    report.Goal("3. latency p99", Format("%.1f ms", summary.p99), "<= 105 ms", summary.p99 <= 105);
    report.Goal("3. latency max", Format("%.1f ms", summary.max), "<= 110 ms", summary.max <= 110);
    report.Info("3. latency median", Format("%.1f ms", summary.median), "(~50 ms expected)");
}

}  // namespace bench
