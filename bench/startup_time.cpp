// 5. From LoadLibrary of the DLL to the first refreshed sample with a
// nonzero value: DllGetClassObject, the factory's provider, Initialize,
// CreateRefresher, CreateRefreshableEnum, then Refresh until the value shows.

#include <objbase.h>

#include <cstdio>

#include "bench/child_runs.h"
#include "bench/measurements.h"

namespace bench {

namespace {

// Each figure in ms from just before LoadLibrary.
struct StartupTimes {
    double loaded = 0;       // LoadLibrary, DllGetClassObject, CreateInstance
    double initialized = 0;  // IWbemProviderInit::Initialize
    double ready = 0;        // CreateRefresher, CreateRefreshableEnum
    double firstSample = 0;  // the first Refresh that shows a nonzero value
    unsigned refreshes = 0;
};

constexpr double kFirstSampleLimitMs = 5000;

bool TimeOneStartup(wmihost::Host& host, StartupTimes& times, std::wstring& error)
{
    ProviderSession session(host);
    RefresherSlot slot;
    const std::int64_t start = Ticks();
    if (!session.Load(error)) {
        return false;
    }
    times.loaded = TicksToMs(Ticks() - start);
    if (!session.Initialize(error)) {
        return false;
    }
    times.initialized = TicksToMs(Ticks() - start);
    if (!session.AddRefresher(slot, error)) {
        return false;
    }
    times.ready = TicksToMs(Ticks() - start);
    bool seen = false;
    // Refreshed back to back, as a client impatient for its first sample would.
    while (!seen && TicksToMs(Ticks() - start) < kFirstSampleLimitMs) {
        const HRESULT hr = slot.refresher->Refresh(0);
        ++times.refreshes;
        if (FAILED(hr)) {
            error = L"Refresh failed (" + HexResult(hr) + L")";
            break;
        }
        seen = ReadSrvConns(slot.instance.get()) != 0;
    }
    times.firstSample = TicksToMs(Ticks() - start);
    session.RemoveRefresher(slot);
    session.Release();
    if (!seen && error.empty()) {
        error = L"no nonzero value within 5 s: is the router publishing?";
    }
    if (session.CanUnloadNow() != S_OK && error.empty()) {
        error = L"DllCanUnloadNow does not answer S_OK after everything was released";
    }
    session.Unload();
    return seen && error.empty();
}

void Add(std::vector<double> (&columns)[4], const StartupTimes& times)
{
    columns[0].push_back(times.loaded);
    columns[1].push_back(times.initialized);
    columns[2].push_back(times.ready);
    columns[3].push_back(times.firstSample);
}

void PrintColumns(Report& report, const char* kind, std::vector<double> (&columns)[4])
{
    static const char* const names[4] = {"loaded (class object, provider)", "initialised",
                                         "refresher + enumerator ready", "first nonzero sample"};
    report.Line("%s, ms from LoadLibrary:", kind);
    for (int i = 0; i < 4; ++i) {
        report.Figure(Format("  %s", names[i]).c_str(), Summarize(columns[i]), "ms", 1);
    }
}

}  // namespace

int RunStartupChild()
{
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::wstring error;
    // The WMI side has its class object before it loads any provider.
    std::unique_ptr<wmihost::Host> host = NewHost(error);
    StartupTimes times;
    const bool ok = host && TimeOneStartup(*host, times, error);
    if (ok) {
        std::printf("startup loaded_ms=%.3f initialized_ms=%.3f ready_ms=%.3f first_ms=%.3f refreshes=%u\n",
                    times.loaded, times.initialized, times.ready, times.firstSample, times.refreshes);
    } else {
        std::fwprintf(stderr, L"router-bench: %ls\n", error.c_str());
    }
    if (SUCCEEDED(com)) {
        ::CoUninitialize();
    }
    return ok ? 0 : 1;
}

void MeasureStartup(wmihost::Host& host, const BenchOptions& options, Report& report)
{
    report.Section("5. LoadLibrary to the first refreshed sample");
    std::vector<double> fresh[4];
    for (unsigned i = 0; i < options.startups; ++i) {
        ChildProcess child;
        std::map<std::string, double> figures;
        std::string output;
        if (!StartChild(child, L"startup", L"") || !ChildFigures(child, 60000, "startup ", figures, output)) {
            report.Error("startup: a fresh process failed: " + output);
            return;
        }
        Add(fresh, {figures["loaded_ms"], figures["initialized_ms"], figures["ready_ms"], figures["first_ms"]});
    }
    std::vector<double> reloaded[4];
    for (unsigned i = 0; i < options.startups; ++i) {
        StartupTimes times;
        std::wstring error;
        if (!TimeOneStartup(host, times, error)) {
            report.Error("startup: a load cycle failed: " + std::string(error.begin(), error.end()));
            return;
        }
        Add(reloaded, times);
    }
    PrintColumns(report, Format("%u fresh processes", options.startups).c_str(), fresh);
    PrintColumns(report, Format("%u load cycles in this process", options.startups).c_str(), reloaded);
    const Summary cold = Summarize(fresh[3]);
    const Summary warm = Summarize(reloaded[3]);
    report.Info("5. first sample, fresh process", Format("median %.1f, max %.1f ms", cold.median, cold.max),
                "(no goal)");
    report.Info("5. first sample, load cycle", Format("median %.1f, max %.1f ms", warm.median, warm.max),
                "(no goal)");
}

}  // namespace bench
