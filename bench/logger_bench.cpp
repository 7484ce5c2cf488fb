// logger-bench: what one call of the logger's wide entry point with two
// arguments costs the producer, on one thread and on two at once, beside the
// bare formatting of the same message. The logger runs with an output that
// only counts, so its thread drains as fast as the queue allows. Not a test:
// it prints figures.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <thread>
#include <vector>

#include "bench/harness.h"
#include "bench/logger_bench_support.h"
#include "common/logger/debug_log_settings.h"
#include "common/logger/debug_logger.h"
#include "common/logger/log_entry_points.h"

namespace {

struct Options {
    unsigned calls = 20000;   // timed calls per thread and round
    unsigned rounds = 5;
};

void Print(const char* name, const std::vector<double>& ns)
{
    const bench::Summary s = bench::Summarize(ns);
    std::printf("  %-36s median %7.0f ns  p99 %8.0f ns  (IQR %.0f-%.0f, %zu calls)\n", name,
                s.median, s.p99, s.q1, s.q3, s.count);
}

void LogCall(unsigned i)
{
    DebugLog(3, L"client %s sent %u messages", L"router-7", i);
}

void FormatCall(unsigned i)
{
    wchar_t text[kLogTextUnits];
    _snwprintf(text, kLogTextUnits - 1, L"client %s sent %u messages", L"router-7", i);
    text[kLogTextUnits - 1] = L'\0';
}

// The logger thread writing to a real UTF-8 file, a flush per line: a
// backlog is queued at once and the time runs until the queue is empty and
// the last line is in the file.
double FileRecordsPerSecond(int encoding, unsigned records)
{
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    wchar_t folder[MAX_PATH] = {};
    _snwprintf(folder, MAX_PATH - 1, L"%slogger-bench-%lu", temp, ::GetCurrentProcessId());
    ::CreateDirectoryW(folder, nullptr);
    const std::wstring file = std::wstring(folder) + L"\\bench.txt";

    DebugLogger logger;
    DebugLogSettings settings;
    const std::string narrow(file.begin(), file.end());
    std::snprintf(settings.logFile.get(), DebugLogSettings::kLogFileSize, "%s", narrow.c_str());
    settings.debugLogLevel = 3;
    settings.consoleLogLevel = -1;
    settings.encoding = encoding;
    if (!logger.StartWithSettings(settings) || !logger.WaitUntilReady()) {
        return -1;
    }
    const std::int64_t start = bench::Ticks();
    for (unsigned i = 0; i < records; ++i) {
        logger.Log(3, 0, 0, L"client router-7 sent a message to the work queue", nullptr);
    }
    while (logger.QueueLength() != 0) {
        ::Sleep(0);
    }
    logger.Stop();  // the last record taken is written before the thread ends
    const double seconds = bench::TicksToMs(bench::Ticks() - start) / 1000.0;
    ::DeleteFileW(file.c_str());
    ::RemoveDirectoryW(folder);
    return records / seconds;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--quick") == 0) {
            options.calls = 2000;
            options.rounds = 2;
        } else {
            std::fwprintf(stderr, L"usage: logger-bench [--quick]\n");
            return 2;
        }
    }

    std::atomic<long> written{0};
    DebugLogger* const logger = ProcessDebugLogger();
    logger->SetOutput(LogOutputKind::File, std::make_unique<bench::CountingOutput>(written));
    DebugLogSettings settings;
    settings.debugLogLevel = 3;
    settings.consoleLogLevel = -1;  // the console stays off
    if (!DebugLogStartWithSettings(settings)) {
        std::fprintf(stderr, "logger-bench: the logger did not start\n");
        return 1;
    }

    // One timer pair around nothing: what every figure below includes.
    std::vector<double> empty;
    bench::TimeCallsOnThreads(1, options.calls, [](unsigned) {}, empty);

    std::printf("logger-bench: one DebugLog(3, L\"client %%s sent %%u messages\", ...) call\n");
    Print("timer pair alone", empty);
    long expected = 0;
    for (unsigned threads : {1u, 2u}) {
        std::vector<double> logged;
        std::vector<double> formatted;
        for (unsigned round = 0; round < options.rounds; ++round) {
            // Alternate with the bare formatting; let the logger catch up
            // between rounds, so each round starts from an empty queue.
            bench::TimeCallsOnThreads(threads, options.calls, &LogCall, logged);
            expected += static_cast<long>(threads * options.calls);
            bench::WaitForCount(written, expected);
            bench::TimeCallsOnThreads(threads, options.calls, &FormatCall, formatted);
        }
        std::printf(" %u producer thread%s:\n", threads, threads == 1 ? "" : "s");
        Print("DebugLog call", logged);
        Print("formatting alone (_snwprintf)", formatted);
    }
    DebugLogStopIfNoSink();
    std::printf("records written: %ld of %ld\n", written.load(), expected);
    if (written.load() != expected) {
        return 1;
    }

    const unsigned fileRecords = options.calls * 2;
    std::printf("\nlogger thread writing to a file, a flush per line (%u records queued at once):\n",
                fileRecords);
    for (const auto& encoding : {std::make_pair(1, "UTF-8"), std::make_pair(0, "ANSI")}) {
        std::vector<double> rates;
        for (unsigned round = 0; round < options.rounds; ++round) {
            const double rate = FileRecordsPerSecond(encoding.first, fileRecords);
            if (rate < 0) {
                std::fprintf(stderr, "logger-bench: the file logger did not start\n");
                return 1;
            }
            rates.push_back(rate);
        }
        const bench::Summary s = bench::Summarize(rates);
        std::printf("  %-6s median %8.0f records/s  (%.1f us each; min %.0f, max %.0f, %zu rounds)\n",
                    encoding.second, s.median, 1e6 / s.median, s.min, s.max, s.count);
    }
    return 0;
}
