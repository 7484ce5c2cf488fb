// spdlog-bench: the debug logger beside spdlog, in one run, on one and on
// two producer threads. First what one logging call costs the thread that
// makes it: DebugLog against spdlog's async logger, each feeding a backend
// that only counts. Then how many records per second reach a file flushed
// after every line: a DebugLogger writing UTF-8 against spdlog's basic file
// sink flushing on every level (called on the producers' threads, as spdlog
// does, and behind its async logger for comparison). The same message text
// throughout, the files in one temp folder. Not a test: it prints figures.

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include "bench/harness.h"
#include "bench/logger_bench_support.h"
#include "common/logger/debug_log_settings.h"
#include "common/logger/debug_logger.h"
#include "common/logger/log_entry_points.h"

namespace {

// The message both libraries log: "client router-7 sent <i> messages".
constexpr wchar_t kWideFormat[] = L"client %s sent %u messages";
constexpr wchar_t kClient[] = L"router-7";
constexpr char kFmtFormat[] = "client {} sent {} messages";
constexpr char kNarrowClient[] = "router-7";
// spdlog's lines shaped like the logger's own, so both files grow alike:
// "[30000] (12/11 00:10:00.123):{0x1A4} client router-7 sent 17 messages".
constexpr char kSpdlogPattern[] = "[30000] (%m/%d %H:%M:%S.%e):{0x%t} %v";

struct Options {
    unsigned calls = 20000;        // timed calls per thread and round
    unsigned rounds = 5;
    unsigned fileRecords = 40000;  // records per file round, split over the threads
    unsigned fileRounds = 5;
};

// spdlog's backend thread is the only caller, hence no mutex.
class CountingSink : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
public:
    explicit CountingSink(std::atomic<long>& count) : count_(count) {}

protected:
    void sink_it_(const spdlog::details::log_msg&) override
    {
        count_.fetch_add(1, std::memory_order_relaxed);
    }
    void flush_() override {}

private:
    std::atomic<long>& count_;
};

// DebugLog's own path (gate, argument check, formatting, queue) on a logger
// other than the process-wide one.
void LogTo(DebugLogger& logger, int level, const wchar_t* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    logger.LogChecked(LogCharKind::Wide, level, 0, nullptr, format, args);
    va_end(args);
}

std::string Narrow(const std::wstring& text)
{
    const int size = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return {};
    }
    std::string narrow(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &narrow[0], size, nullptr, nullptr);
    narrow.resize(static_cast<std::size_t>(size - 1));
    return narrow;
}

// The bench's lines in a file: every record ends in "messages" and CR LF.
long CountBenchLines(const std::wstring& path)
{
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return -1;
    }
    static const char kEnd[] = "messages\r\n";
    long lines = 0;
    std::size_t matched = 0;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        if (c == kEnd[matched]) {
            if (++matched == sizeof kEnd - 1) {
                ++lines;
                matched = 0;
            }
        } else {
            matched = c == kEnd[0] ? 1 : 0;
        }
    }
    std::fclose(file);
    return lines;
}

std::int64_t FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return -1;
    }
    return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

struct FileRound {
    std::wstring path;
    unsigned threads = 1;
    unsigned records = 0;

    unsigned Share() const { return records / threads; }
    unsigned Total() const { return Share() * threads; }
};

// One round's figures; rate negative when the logger did not start or a
// record is missing from the file.
struct FileResult {
    double rate = -1;           // records per second, start to the last line
    double firstLineMs = 0;     // start to the first record's line
    double rateAfterFirst = 0;  // records per second from the first line on
};

FileResult Finish(const FileRound& round, std::int64_t ticks, std::int64_t firstLineTicks)
{
    FileResult result;
    const long lines = CountBenchLines(round.path);
    ::DeleteFileW(round.path.c_str());
    if (lines != static_cast<long>(round.Total())) {
        std::fprintf(stderr, "spdlog-bench: %ld of %u records in the file\n", lines, round.Total());
        return result;
    }
    result.rate = round.Total() / (bench::TicksToMs(ticks) / 1000.0);
    result.firstLineMs = bench::TicksToMs(firstLineTicks);
    result.rateAfterFirst = round.Total() / (bench::TicksToMs(ticks - firstLineTicks) / 1000.0);
    return result;
}

// The logger: producers queue, its thread writes each line as UTF-8 and
// flushes it; the time runs until the queue is empty and the thread has
// ended, so every line is in the file. Meanwhile this thread watches the
// file for the first record's line (what is in it at ready is the header
// and the opening report).
FileResult OurFileRate(const FileRound& round)
{
    DebugLogger logger;
    DebugLogSettings settings;
    std::snprintf(settings.logFile.get(), DebugLogSettings::kLogFileSize, "%s",
                  Narrow(round.path).c_str());
    settings.debugLogLevel = 3;
    settings.consoleLogLevel = -1;  // the console stays off
    settings.encoding = 1;
    if (!logger.StartWithSettings(settings) || !logger.WaitUntilReady()) {
        return {};
    }
    const std::int64_t readySize = FileSize(round.path);
    const std::int64_t start = bench::Ticks();
    std::thread producers([&] {
        bench::RunTogether(round.threads, [&](unsigned) {
            for (unsigned i = 0; i < round.Share(); ++i) {
                LogTo(logger, 3, kWideFormat, kClient, i);
            }
        });
    });
    const ULONGLONG deadline = ::GetTickCount64() + 60000;
    while (FileSize(round.path) == readySize && ::GetTickCount64() < deadline) {
        ::Sleep(1);
    }
    const std::int64_t firstLine = bench::Ticks() - start;
    producers.join();
    while (logger.QueueLength() != 0) {
        ::Sleep(1);
    }
    logger.Stop();  // the last record taken is written before the thread ends
    return Finish(round, bench::Ticks() - start, firstLine);
}

std::shared_ptr<spdlog::sinks::basic_file_sink_mt> SpdlogFileSink(const FileRound& round)
{
    return std::make_shared<spdlog::sinks::basic_file_sink_mt>(Narrow(round.path), true);
}

void PrepareSpdlogLogger(spdlog::logger& logger)
{
    logger.set_pattern(kSpdlogPattern, spdlog::pattern_time_type::local);
    logger.flush_on(spdlog::level::trace);  // every level, so every line
}

// spdlog as it is usually used with a file: each producer formats, writes
// and flushes its own line under the sink's mutex.
FileResult SpdlogFileRate(const FileRound& round)
{
    auto logger = std::make_shared<spdlog::logger>("file", SpdlogFileSink(round));
    PrepareSpdlogLogger(*logger);
    const std::int64_t start = bench::Ticks();
    bench::RunTogether(round.threads, [&](unsigned) {
        for (unsigned i = 0; i < round.Share(); ++i) {
            logger->info(kFmtFormat, kNarrowClient, i);
        }
    });
    const std::int64_t ticks = bench::Ticks() - start;
    logger.reset();  // closes the file
    return Finish(round, ticks, 0);
}

// The same sink behind spdlog's async logger, the shape of the logger's own
// file path: the time runs until the pool's thread has written everything
// queued and ended.
FileResult SpdlogAsyncFileRate(const FileRound& round)
{
    auto pool = std::make_shared<spdlog::details::thread_pool>(round.Total() + 16, 1);
    auto logger = std::make_shared<spdlog::async_logger>("async-file", SpdlogFileSink(round), pool,
                                                         spdlog::async_overflow_policy::block);
    PrepareSpdlogLogger(*logger);
    const std::int64_t start = bench::Ticks();
    bench::RunTogether(round.threads, [&](unsigned) {
        for (unsigned i = 0; i < round.Share(); ++i) {
            logger->info(kFmtFormat, kNarrowClient, i);
        }
    });
    logger.reset();
    pool.reset();  // the pool's thread drains its queue before it ends
    return Finish(round, bench::Ticks() - start, 0);
}

void PrintCalls(const char* name, const std::vector<double>& ns)
{
    const bench::Summary s = bench::Summarize(ns);
    std::printf("  %-30s median %7.0f ns  p99 %8.0f ns  (IQR %.0f-%.0f, %zu calls)\n", name,
                s.median, s.p99, s.q1, s.q3, s.count);
}

void PrintRate(const char* name, const std::vector<double>& rates)
{
    const bench::Summary s = bench::Summarize(rates);
    std::printf("  %-30s median %8.0f records/s  (%.1f us each; min %.0f, max %.0f, %zu rounds)\n",
                name, s.median, 1e6 / s.median, s.min, s.max, s.count);
}

const char* Verdict(bool met)
{
    return met ? "met" : "missed";
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--quick") == 0) {
            options.calls = 2000;
            options.rounds = 2;
            options.fileRecords = 4000;
            options.fileRounds = 2;
        } else {
            std::fwprintf(stderr, L"usage: spdlog-bench [--quick]\n");
            return 2;
        }
    }

    std::printf("spdlog-bench: the debug logger beside spdlog %d.%d.%d (fmt %d)\n", SPDLOG_VER_MAJOR,
                SPDLOG_VER_MINOR, SPDLOG_VER_PATCH, FMT_VERSION);

    // The producer's cost. Both backends only count; spdlog's queue holds a
    // whole round, as the logger's does, so neither producer waits for room.
    std::atomic<long> ourWritten{0};
    DebugLogger* const processLogger = ProcessDebugLogger();
    processLogger->SetOutput(LogOutputKind::File, std::make_unique<bench::CountingOutput>(ourWritten));
    DebugLogSettings settings;
    settings.debugLogLevel = 3;
    settings.consoleLogLevel = -1;
    if (!DebugLogStartWithSettings(settings)) {
        std::fprintf(stderr, "spdlog-bench: the logger did not start\n");
        return 1;
    }
    std::atomic<long> spdlogWritten{0};
    auto pool = std::make_shared<spdlog::details::thread_pool>(2 * options.calls + 16, 1);
    auto asyncLogger = std::make_shared<spdlog::async_logger>(
        "counting", std::make_shared<CountingSink>(spdlogWritten), pool,
        spdlog::async_overflow_policy::block);

    std::printf("\none call: DebugLog(3, L\"client %%s sent %%u messages\", L\"router-7\", i) beside\n"
                "spdlog's async logger->info(\"client {} sent {} messages\", \"router-7\", i)\n");
    std::vector<double> empty;
    bench::TimeCallsOnThreads(1, options.calls, [](unsigned) {}, empty);
    PrintCalls("timer pair alone", empty);
    long ourExpected = 0;
    long spdlogExpected = 0;
    for (unsigned threads : {1u, 2u}) {
        std::vector<double> ours;
        std::vector<double> theirs;
        for (unsigned round = 0; round < options.rounds; ++round) {
            // Alternating rounds, each from an empty queue.
            bench::TimeCallsOnThreads(threads, options.calls,
                               [](unsigned i) { DebugLog(3, kWideFormat, kClient, i); }, ours);
            ourExpected += static_cast<long>(threads * options.calls);
            bench::WaitForCount(ourWritten, ourExpected);
            bench::TimeCallsOnThreads(threads, options.calls,
                               [&](unsigned i) { asyncLogger->info(kFmtFormat, kNarrowClient, i); },
                               theirs);
            spdlogExpected += static_cast<long>(threads * options.calls);
            bench::WaitForCount(spdlogWritten, spdlogExpected);
        }
        std::printf(" %u producer thread%s:\n", threads, threads == 1 ? "" : "s");
        PrintCalls("DebugLog", ours);
        PrintCalls("spdlog async", theirs);
        const bench::Summary a = bench::Summarize(ours);
        const bench::Summary b = bench::Summarize(theirs);
        const double ratio = a.median / b.median;
        std::printf("  DebugLog / spdlog async: median %.2fx, p99 %.2fx (goal <= 1: %s)\n", ratio,
                    a.p99 / b.p99, Verdict(ratio <= 1.0));
    }
    DebugLogStopIfNoSink();
    asyncLogger.reset();
    pool.reset();
    std::printf("records counted: DebugLog %ld of %ld, spdlog %ld of %ld\n", ourWritten.load(),
                ourExpected, spdlogWritten.load(), spdlogExpected);
    if (ourWritten.load() != ourExpected || spdlogWritten.load() != spdlogExpected) {
        return 1;
    }

    // Records reaching a file, a flush after every line.
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    wchar_t folderText[MAX_PATH] = {};
    _snwprintf(folderText, MAX_PATH - 1, L"%sspdlog-bench-%lu", temp, ::GetCurrentProcessId());
    const std::wstring folder = folderText;
    ::CreateDirectoryW(folder.c_str(), nullptr);
    std::printf("\nrecords reaching a file in %ls, a flush after every line (%u records a round):\n",
                folder.c_str(), options.fileRecords);
    int status = 0;
    for (unsigned threads : {1u, 2u}) {
        std::vector<double> ours;
        std::vector<double> oursFirstLineMs;
        std::vector<double> oursAfterFirst;
        std::vector<double> theirs;
        std::vector<double> theirsAsync;
        for (unsigned round = 0; round < options.fileRounds; ++round) {
            const FileResult a = OurFileRate({folder + L"\\debuglogger.txt", threads, options.fileRecords});
            const FileResult b = SpdlogFileRate({folder + L"\\spdlog.txt", threads, options.fileRecords});
            const FileResult c =
                SpdlogAsyncFileRate({folder + L"\\spdlog-async.txt", threads, options.fileRecords});
            if (a.rate < 0 || b.rate < 0 || c.rate < 0) {
                std::fprintf(stderr, "spdlog-bench: a file round failed\n");
                status = 1;
                break;
            }
            ours.push_back(a.rate);
            oursFirstLineMs.push_back(a.firstLineMs);
            oursAfterFirst.push_back(a.rateAfterFirst);
            theirs.push_back(b.rate);
            theirsAsync.push_back(c.rate);
        }
        if (status != 0) {
            break;
        }
        std::printf(" %u producer thread%s:\n", threads, threads == 1 ? "" : "s");
        PrintRate("DebugLogger (UTF-8)", ours);
        PrintRate("  from its first line on", oursAfterFirst);
        const bench::Summary wait = bench::Summarize(oursFirstLineMs);
        std::printf("  %-30s median %6.1f ms (min %.1f, max %.1f)\n", "  first line in the file after",
                    wait.median, wait.min, wait.max);
        PrintRate("spdlog basic_file_sink_mt", theirs);
        PrintRate("spdlog async, same sink", theirsAsync);
        const double ours50 = bench::Summarize(ours).median;
        const double ratio = ours50 / bench::Summarize(theirs).median;
        std::printf("  DebugLogger / spdlog file sink: %.2fx (goal >= 0.8: %s); from the first line on %.2fx;"
                    " / spdlog async: %.2fx\n",
                    ratio, Verdict(ratio >= 0.8),
                    bench::Summarize(oursAfterFirst).median / bench::Summarize(theirs).median,
                    ours50 / bench::Summarize(theirsAsync).median);
    }
    ::RemoveDirectoryW(folder.c_str());
    return status;
}
