// 1. The cost of one Refresh beside the floor of the platform calls every
// Refresh must make, taken in alternating repetitions of the same run.

#include "bench/client_check_floor.h"
#include "bench/measurements.h"

namespace bench {

namespace {

// What one Refresh asks of WMI's side beyond the floor: reading the
// instance's key back and writing its five counters, on an instance of the
// stand-in's own. Median ns a call; negative when the instance cannot be made.
double HostAccessNs(wmihost::Host& host, const Repetitions& reps)
{
    com_ptr<IWbemClassObject> spawned;
    if (FAILED(host.ClassObject()->SpawnInstance(0, spawned.put()))) {
        return -1;
    }
    com_ptr<IWbemObjectAccess> instance = com_query<IWbemObjectAccess>(spawned.get());
    static const wchar_t* const names[6] = {L"Name", L"bypass_rcvd_msg", L"bypass_sent_msg", L"dev_conns",
                                            L"work_queue_size", L"srv_conns"};
    LONG handles[6] = {};
    for (int i = 0; i < 6; ++i) {
        if (!instance || FAILED(instance->GetPropertyHandle(names[i], nullptr, &handles[i]))) {
            return -1;
        }
    }
    const wchar_t key[] = L"0";
    instance->WritePropertyValue(handles[0], sizeof key, reinterpret_cast<const byte*>(key));
    auto calls = [&](unsigned n) {
        for (unsigned c = 0; c < n; ++c) {
            wchar_t text[512] = {};
            LONG bytes = 0;
            instance->ReadPropertyValue(handles[0], 511, &bytes, reinterpret_cast<byte*>(text));
            for (int i = 1; i < 6; ++i) {
                instance->WriteDWORD(handles[i], c);
            }
        }
    };
    auto none = [](unsigned) {};
    std::vector<double> ns;
    std::vector<double> unused;
    TimeAlternating(reps, calls, none, ns, unused);
    return Summarize(ns).median;
}

}  // namespace

void MeasureRefreshCost(ProviderSession& session, wmihost::Host& host, const BenchOptions& options,
                        Report& report)
{
    report.Section("1. Refresh cost beside the client-check floor (one thread)");
    RefresherSlot slot;
    std::wstring error;
    if (!session.AddRefresher(slot, error)) {
        report.Error("refresh cost: " + std::string(error.begin(), error.end()));
        return;
    }
    const ClientCheckPath path = ClientCheckFloor::Probe();
    report.Line("client check on this thread: CoImpersonateClient 0x%08lX, OpenThreadToken error %lu",
                static_cast<unsigned long>(path.impersonation), static_cast<unsigned long>(path.tokenError));

    ClientCheckFloor floor;
    volatile DWORD slots[5] = {};
    long failedRefreshes = 0;
    HRESULT lastFailure = S_OK;
    auto refreshes = [&](unsigned calls) {
        for (unsigned i = 0; i < calls; ++i) {
            const HRESULT hr = slot.refresher->Refresh(0);
            if (FAILED(hr)) {
                ++failedRefreshes;
                lastFailure = hr;
            }
        }
    };
    auto floorCalls = [&](unsigned calls) {
        for (unsigned i = 0; i < calls; ++i) {
            floor.Call(slots, i);
        }
    };
    std::vector<double> refreshNs;
    std::vector<double> floorNs;
    TimeAlternating(options.refreshReps, refreshes, floorCalls, refreshNs, floorNs);
    const DWORD seen = ReadSrvConns(slot.instance.get());
    session.RemoveRefresher(slot);
    if (failedRefreshes != 0) {
        report.Error(Format("refresh cost: %ld refreshes failed (last 0x%08lX)", failedRefreshes,
                            static_cast<unsigned long>(lastFailure)));
        return;
    }

    const Summary refresh = Summarize(refreshNs);
    const Summary base = Summarize(floorNs);
    report.Line("%u warm-up + %u timed repetitions of %u calls each, alternating", options.refreshReps.warmUps,
                options.refreshReps.timed, options.refreshReps.callsPerRep);
    report.Figure("Refresh", refresh, "ns");
    report.Figure("floor", base, "ns");
    const double ratio = refresh.median / base.median;
    const double above = refresh.median - base.median;
    // Each repetition beside the floor repetition next to it: less moved by
    // load that comes and goes over the run than the two medians are.
    std::vector<double> pairedRatio;
    std::vector<double> pairedDifference;
    for (std::size_t i = 0; i < refreshNs.size(); ++i) {
        pairedRatio.push_back(refreshNs[i] / floorNs[i]);
        pairedDifference.push_back(refreshNs[i] - floorNs[i]);
    }
    report.Line("ratio of medians %.3f, difference %.0f ns; srv_conns after the run: %lu", ratio, above,
                static_cast<unsigned long>(seen));
    report.Figure("paired ratio", Summarize(pairedRatio), "", 3);
    report.Figure("paired difference", Summarize(pairedDifference), "ns");
    report.Line("least disturbed repetitions (minima): ratio %.3f, difference %.0f ns", refresh.min / base.min,
                refresh.min - base.min);
    const double hostNs = HostAccessNs(host, options.refreshReps);
    if (hostNs >= 0) {
        report.Line("of which WMI's side (the stand-in's key read and five WriteDWORD calls): %.0f ns", hostNs);
    }
    report.Goal("1. Refresh / floor (1 thread)", Format("%.3fx (%.0f / %.0f ns)", ratio, refresh.median, base.median),
                "<= 1.05x", ratio <= 1.05);
    report.Goal("1. Refresh - floor (1 thread)", Format("%.0f ns", above), "<= 1000 ns", above <= 1000);
}

}  // namespace bench
