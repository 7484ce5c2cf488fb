// 4. The poller's idle cost: the CPU a process with a live provider uses
// while nobody refreshes, beside a process whose one extra thread waits
// 100 ms on an event in a loop as the poller does. Each runs in a process of
// its own, both at once.

#include <process.h>
#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "bench/child_runs.h"
#include "bench/measurements.h"
#include "process_census.h"

namespace bench {

namespace {

struct Window {
    double cpuMs = 0;
    double hostCpuMs = 0;
    double wallMs = 0;
};

// The measured window: the calling thread sleeps throughout it.
Window Measure(double seconds, const std::wstring& token)
{
    Window window;
    const double cpu = ProcessCpuMs();
    const double host = HostSchedulerCpuMs(token);
    const std::int64_t start = Ticks();
    ::Sleep(static_cast<DWORD>(seconds * 1000));
    window.wallMs = TicksToMs(Ticks() - start);
    window.cpuMs = ProcessCpuMs() - cpu;
    const double hostEnd = HostSchedulerCpuMs(token);
    window.hostCpuMs = host >= 0 && hostEnd >= 0 ? hostEnd - host : -1;
    return window;
}

void PrintWindow(const Window& window, long threads, double wakes, DWORD first, DWORD last)
{
    std::printf("idle cpu_ms=%.3f host_cpu_ms=%.3f wall_ms=%.1f threads=%ld wakes=%.0f first=%lu last=%lu\n",
                window.cpuMs, window.hostCpuMs, window.wallMs, threads, wakes, static_cast<unsigned long>(first),
                static_cast<unsigned long>(last));
}

// Settles the process before its window: start-up work still winding down
// would count against whichever child it happened in.
constexpr DWORD kSettleMilliseconds = 1000;

struct BareLoop {
    unique_handle stop{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<std::uint64_t> wakes{0};
};

unsigned __stdcall BareLoopThread(void* argument)
{
    auto* loop = static_cast<BareLoop*>(argument);
    for (;;) {
        if (::WaitForSingleObject(loop->stop.get(), 100) != WAIT_TIMEOUT) {
            return 0;
        }
        loop->wakes.fetch_add(1);
    }
}

std::string Share(double cpuMs, double wallMs)
{
    return Format("%.4f%%", cpuMs * 100 / wallMs);
}

}  // namespace

int RunIdleProviderChild(double seconds, const std::wstring& token)
{
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::wstring error;
    std::unique_ptr<wmihost::Host> host = NewHost(error);
    int exit = 1;
    if (host) {
        ProviderSession session(*host);
        RefresherSlot slot;
        if (session.Open(error) && session.AddRefresher(slot, error) && SUCCEEDED(slot.refresher->Refresh(0))) {
            const DWORD first = ReadSrvConns(slot.instance.get());
            ::Sleep(kSettleMilliseconds);
            const long threads = ProcessCensus::Take().threads;
            const Window window = Measure(seconds, token);
            // Outside the window: the poller kept copying samples all along.
            slot.refresher->Refresh(0);
            PrintWindow(window, threads, -1, first, ReadSrvConns(slot.instance.get()));
            exit = 0;
        }
        session.RemoveRefresher(slot);
    }
    if (exit != 0) {
        std::fwprintf(stderr, L"router-bench: %ls\n", error.c_str());
    }
    if (SUCCEEDED(com)) {
        ::CoUninitialize();
    }
    return exit;
}

int RunIdleBareLoopChild(double seconds, const std::wstring& token)
{
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    BareLoop loop;
    unique_handle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &BareLoopThread, &loop, 0, nullptr)));
    if (!thread) {
        return 1;
    }
    ::Sleep(kSettleMilliseconds);
    const long threads = ProcessCensus::Take().threads;
    const std::uint64_t wakes = loop.wakes.load();
    const Window window = Measure(seconds, token);
    const double windowWakes = static_cast<double>(loop.wakes.load() - wakes);
    ::SetEvent(loop.stop.get());
    ::WaitForSingleObject(thread.get(), INFINITE);
    PrintWindow(window, threads, windowWakes, 0, 0);
    if (SUCCEEDED(com)) {
        ::CoUninitialize();
    }
    return 0;
}

void MeasureIdleCost(const BenchOptions& options, Report& report)
{
    report.Section("4. Idle cost of the poller");
    const std::wstring seconds = std::to_wstring(options.idleSeconds);
    // Words that name each child's Linux process for its scheduler figures.
    const std::wstring token = L"router-bench-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                               std::to_wstring(Ticks()) + L"-";
    ChildProcess provider;
    ChildProcess bare;
    if (!StartChild(provider, L"idle-provider", L"--idle-seconds " + seconds + L" --token " + token + L"provider") ||
        !StartChild(bare, L"idle-bare", L"--idle-seconds " + seconds + L" --token " + token + L"bare")) {
        report.Error("idle cost: the child processes cannot be started");
        return;
    }
    const DWORD limit = static_cast<DWORD>(options.idleSeconds * 1000) + 60000;
    std::map<std::string, double> p;
    std::map<std::string, double> b;
    std::string output;
    if (!ChildFigures(provider, limit, "idle ", p, output)) {
        report.Error("idle cost: the provider child failed: " + output);
        return;
    }
    if (!ChildFigures(bare, limit, "idle ", b, output)) {
        report.Error("idle cost: the bare-loop child failed: " + output);
        return;
    }
    report.Line("a %.0f s window in each of two processes at once, after %lu ms to settle; the measuring thread sleeps",
                options.idleSeconds, kSettleMilliseconds);
    report.Line("provider process: %.0f threads; poller alive: srv_conns moved %.0f -> %.0f during the window",
                p["threads"], p["first"], p["last"]);
    report.Line("bare-loop process: %.0f threads; %.0f wakes of its loop in %.1f s", b["threads"], b["wakes"],
                b["wall_ms"] / 1000);
    report.Line("GetProcessTimes (10 ms steps): provider %.0f ms = %s of a core, bare loop %.0f ms = %s",
                p["cpu_ms"], Share(p["cpu_ms"], p["wall_ms"]).c_str(), b["cpu_ms"],
                Share(b["cpu_ms"], b["wall_ms"]).c_str());
    const bool fine = p["host_cpu_ms"] >= 0 && b["host_cpu_ms"] >= 0;
    if (fine) {
        report.Line("Linux schedstat (ns):         provider %.2f ms = %s of a core, bare loop %.2f ms = %s",
                    p["host_cpu_ms"], Share(p["host_cpu_ms"], p["wall_ms"]).c_str(), b["host_cpu_ms"],
                    Share(b["host_cpu_ms"], b["wall_ms"]).c_str());
    }
    if (p["last"] == p["first"]) {
        report.Error("idle cost: the provider's value did not move: its poller did not run");
        return;
    }
    const double step = 10;
    if (b["cpu_ms"] >= step) {
        const double ratio = p["cpu_ms"] / b["cpu_ms"];
        report.Goal("4. idle CPU / bare loop (GetProcessTimes)",
                    Format("%.2fx (%.0f / %.0f ms)", ratio, p["cpu_ms"], b["cpu_ms"]), "<= 1.1x", ratio <= 1.1);
    } else {
        report.Info("4. idle CPU / bare loop (GetProcessTimes)",
                    Format("%.0f / %.0f ms", p["cpu_ms"], b["cpu_ms"]), "below the 10 ms step");
    }
    if (fine) {
        const double ratio = p["host_cpu_ms"] / b["host_cpu_ms"];
        report.Goal("4. idle CPU / bare loop (schedstat)",
                    Format("%.2fx (%.1f / %.1f ms)", ratio, p["host_cpu_ms"], b["host_cpu_ms"]), "<= 1.1x",
                    ratio <= 1.1);
    }
}

}  // namespace bench
