// router-sim: a stand-in for the router service. It creates the router's
// counter block as the router does and publishes samples into it.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "WMIRouterClient/process_globals.h"
#include "tools/router-sim/publisher.h"

namespace {

LogContext* PrintReport(std::int32_t level, std::int32_t, std::int32_t, std::int32_t,
                        const wchar_t* message, const char* function, std::int32_t, LogContext*)
{
    if (level <= 3) {
        std::fwprintf(stderr, L"router-sim: %hs: %ls\n", function, message);
    }
    return nullptr;
}

void Usage(FILE* out)
{
    std::fwprintf(out,
                  L"usage: router-sim [--rate HZ] [--duration SECONDS] [--pattern same|traffic]\n"
                  L"                  [--start N] [--stamp-time]\n"
                  L"  Creates the router's counter block %ls\n"
                  L"  and publishes a sample into it HZ times a second (default 10) for\n"
                  L"  SECONDS (default 10; 0 runs until stopped). With --pattern same every\n"
                  L"  counter of a sample carries its sequence number; traffic (the default)\n"
                  L"  gives five different series. Sequence numbers start at N (default 1).\n"
                  L"  With --stamp-time each sample also carries its publish time (a\n"
                  L"  QueryPerformanceCounter value) in bytes 8-15 of the block.\n",
                  kRouterBlockName);
}

bool ParseNumber(const wchar_t* text, double& value)
{
    wchar_t* end = nullptr;
    value = std::wcstod(text, &end);
    return end != text && *end == L'\0' && value >= 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    double rate = 10;
    double duration = 10;
    double start = 1;
    SamplePattern pattern = SamplePattern::Traffic;
    bool stampTime = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == L"--help") {
            Usage(stdout);
            return 0;
        } else if (option == L"--rate" && hasValue && ParseNumber(argv[++i], rate) && rate > 0 && rate <= 10000) {
        } else if (option == L"--duration" && hasValue && ParseNumber(argv[++i], duration)) {
        } else if (option == L"--start" && hasValue && ParseNumber(argv[++i], start) && start < 4e9) {
        } else if (option == L"--stamp-time") {
            stampTime = true;
        } else if (option == L"--pattern" && hasValue) {
            const std::wstring name = argv[++i];
            if (name == L"same") {
                pattern = SamplePattern::Same;
            } else if (name == L"traffic") {
                pattern = SamplePattern::Traffic;
            } else {
                std::fwprintf(stderr, L"router-sim: unknown pattern '%ls'\n", name.c_str());
                return 2;
            }
        } else {
            std::fwprintf(stderr, L"router-sim: bad argument '%ls' (see --help)\n", argv[i]);
            return 2;
        }
    }

    WMISharedMem<wmirouter_perf_t> block(true);
    if (!block.Initialize(FILE_MAP_READ | FILE_MAP_WRITE, &PrintReport) || block.View() == nullptr) {
        std::fwprintf(stderr, L"router-sim: cannot create or map the counter block %ls\n", kRouterBlockName);
        return 1;
    }
    std::wprintf(L"router-sim: publishing %ls at %g Hz for %g s\n", kRouterBlockName, rate, duration);
    std::fflush(stdout);

    LARGE_INTEGER frequency;
    LARGE_INTEGER begin;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&begin);
    const double period = 1.0 / rate;
    auto elapsed = [&] {
        LARGE_INTEGER now;
        ::QueryPerformanceCounter(&now);
        return static_cast<double>(now.QuadPart - begin.QuadPart) / static_cast<double>(frequency.QuadPart);
    };

    std::uint32_t sequence = static_cast<std::uint32_t>(start);
    std::uint64_t published = 0;
    for (;;) {
        const double due = static_cast<double>(published) * period;
        if (duration > 0 && due >= duration) {
            break;
        }
        double now = elapsed();
        while (now < due) {
            ::Sleep(static_cast<DWORD>((due - now) * 1000.0));
            now = elapsed();
        }
        const RouterSample sample = MakeSample(pattern, sequence);
        if (stampTime) {
            PublishTimedSample(block.View(), sample, static_cast<std::int64_t>(sequence));
        } else {
            PublishSample(block.View(), sample, static_cast<std::int64_t>(sequence));
        }
        ++sequence;
        ++published;
    }
    std::wprintf(L"router-sim: published %llu samples\n", static_cast<unsigned long long>(published));
    return 0;
}
