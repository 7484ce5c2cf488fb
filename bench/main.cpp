// router-bench: measures the provider DLL as WMI drives it, with router-sim
// publishing: Refresh cost and rate beside the floor of platform calls every
// Refresh makes, publish-to-visible latency, the poller's idle cost, the
// time to the first sample, and what load-use-free cycles leave behind.
// Not a test: it prints figures beside their goals.

#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <set>
#include <string>

#include "WMIRouterClient/wmirouter_perf.h"
#include "bench/measurements.h"
#include "child_process.h"

namespace {

using bench::BenchOptions;

const wchar_t* const kMeasurements[] = {L"refresh", L"rate", L"latency", L"idle", L"startup", L"cycles"};

void Usage(FILE* out)
{
    std::fwprintf(out,
        L"usage: router-bench [--only NAME[,NAME...]] [--idle-seconds S] [--latency-samples N]\n"
        L"                    [--startups N] [--cycles N] [--reps N] [--quick]\n"
        L"  Starts router-sim (beside this program) and measures the provider DLL beside it.\n"
        L"  Measurements: refresh, rate, latency, idle, startup, cycles (default: all).\n"
        L"  --idle-seconds     the idle-cost window (default 30)\n"
        L"  --latency-samples  publish-to-visible samples (default 200)\n"
        L"  --startups         fresh processes, and load cycles, timed to the first sample (default 10)\n"
        L"  --cycles           create-use-release cycles (default 1000)\n"
        L"  --reps             timed repetitions of the Refresh-cost loops (default 51)\n"
        L"  --quick            short windows and few samples, to try the run out\n");
}

bool ParseNumber(const wchar_t* text, double low, double high, double& value)
{
    wchar_t* end = nullptr;
    value = std::wcstod(text, &end);
    return end != text && *end == L'\0' && value >= low && value <= high;
}

// 0 to go on, -1 to stop with success, else the exit code.
int ParseOptions(int argc, wchar_t** argv, BenchOptions& options, std::set<std::wstring>& only,
                 std::wstring& child, std::wstring& token)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--help" || option == L"-h") {
            Usage(stdout);
            return -1;
        }
        if (option == L"--quick") {
            options.idleSeconds = 5;
            options.latencySamples = 30;
            options.startups = 3;
            options.cycles = 200;
            options.refreshReps.timed = 9;
            options.rateReps = 3;
            options.rateSeconds = 0.2;
            continue;
        }
        const wchar_t* value = i + 1 < argc ? argv[++i] : nullptr;
        double number = 0;
        if (value == nullptr) {
            std::fwprintf(stderr, L"router-bench: %ls needs a value (see --help)\n", option.c_str());
            return 2;
        }
        if (option == L"--child") {
            child = value;
        } else if (option == L"--token") {
            token = value;
        } else if (option == L"--only") {
            std::wstring list = value;
            for (std::size_t begin = 0; begin <= list.size();) {
                const std::size_t comma = std::min(list.find(L',', begin), list.size());
                const std::wstring name = list.substr(begin, comma - begin);
                if (std::find(std::begin(kMeasurements), std::end(kMeasurements), name) == std::end(kMeasurements)) {
                    std::fwprintf(stderr, L"router-bench: no measurement '%ls' (see --help)\n", name.c_str());
                    return 2;
                }
                only.insert(name);
                begin = comma + 1;
            }
        } else if (option == L"--idle-seconds" && ParseNumber(value, 1, 3600, number)) {
            options.idleSeconds = number;
        } else if (option == L"--latency-samples" && ParseNumber(value, 10, 100000, number)) {
            options.latencySamples = static_cast<unsigned>(number);
        } else if (option == L"--startups" && ParseNumber(value, 1, 1000, number)) {
            options.startups = static_cast<unsigned>(number);
        } else if (option == L"--cycles" && ParseNumber(value, 1, 1000000, number)) {
            options.cycles = static_cast<unsigned>(number);
        } else if (option == L"--reps" && ParseNumber(value, 3, 10000, number)) {
            options.refreshReps.timed = static_cast<unsigned>(number);
        } else {
            std::fwprintf(stderr, L"router-bench: bad option %ls %ls (see --help)\n", option.c_str(), value);
            return 2;
        }
    }
    return 0;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

void PrintMachine(bench::Report& report)
{
    SYSTEM_INFO system = {};
    ::GetNativeSystemInfo(&system);
    report.Section("Run");
    report.Line("%lu logical processors; QueryPerformanceCounter at %.0f Hz",
                static_cast<unsigned long>(system.dwNumberOfProcessors), bench::TicksPerSecond());
}

int RunAll(const BenchOptions& options, const std::set<std::wstring>& only)
{
    auto wanted = [&](const wchar_t* name) { return only.empty() || only.count(name) != 0; };
    bench::Report report;
    PrintMachine(report);

    // The block must be router-sim's own, stamping its publish times.
    if (unique_handle(::OpenFileMappingW(FILE_MAP_READ, FALSE, kRouterBlockName))) {
        report.Error("another publisher already holds the router's block in this Wine prefix");
        return report.Finish();
    }
    ChildProcess router;
    const std::wstring routerArguments =
        L"--pattern same --duration 0 --stamp-time --rate " + std::to_wstring(options.latencyRateHz);
    if (!StartRouterSim(router, routerArguments)) {
        report.Error("router-sim did not start: " + router.Output());
        return report.Finish();
    }
    report.Line("router-sim %s", Narrow(routerArguments).c_str());

    std::wstring error;
    std::unique_ptr<wmihost::Host> host = bench::NewHost(error);
    if (!host) {
        report.Error(Narrow(error));
        return report.Finish();
    }
    if (wanted(L"refresh") || wanted(L"rate") || wanted(L"latency")) {
        bench::ProviderSession session(*host);
        bench::RefresherSlot opener;
        // The first refresher opens the block; the poller needs a look at it
        // before the figures mean anything.
        if (!session.Open(error) || !session.AddRefresher(opener, error)) {
            report.Error(Narrow(error));
            return report.Finish();
        }
        const std::int64_t start = bench::Ticks();
        while (bench::ReadSrvConns(opener.instance.get()) == 0 && bench::TicksToMs(bench::Ticks() - start) < 5000) {
            ::Sleep(10);
            opener.refresher->Refresh(0);
        }
        if (wanted(L"refresh")) {
            bench::MeasureRefreshCost(session, *host, options, report);
        }
        if (wanted(L"rate")) {
            bench::MeasureRefreshRate(session, options, report);
        }
        if (wanted(L"latency")) {
            bench::MeasurePublishLatency(session, options, report);
        }
        session.RemoveRefresher(opener);
    }
    if (wanted(L"idle")) {
        bench::MeasureIdleCost(options, report);
    }
    if (wanted(L"startup")) {
        bench::MeasureStartup(*host, options, report);
    }
    if (wanted(L"cycles")) {
        bench::MeasureLoadCycles(*host, options, report);
    }
    return report.Finish();
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    BenchOptions options;
    std::set<std::wstring> only;
    std::wstring child;
    std::wstring token;
    if (const int exit = ParseOptions(argc, argv, options, only, child, token)) {
        return exit < 0 ? 0 : exit;
    }
    if (child == L"idle-provider") {
        return bench::RunIdleProviderChild(options.idleSeconds, token);
    }
    if (child == L"idle-bare") {
        return bench::RunIdleBareLoopChild(options.idleSeconds, token);
    }
    if (child == L"startup") {
        return bench::RunStartupChild();
    }
    if (!child.empty()) {
        std::fwprintf(stderr, L"router-bench: no child mode '%ls'\n", child.c_str());
        return 2;
    }
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const int exit = RunAll(options, only);
    if (SUCCEEDED(com)) {
        ::CoUninitialize();
    }
    return exit;
}
