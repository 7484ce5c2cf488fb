// logger-host: runs the process-wide logger for a long time as a service
// would. It starts the logger from a registry key, keeps producer threads
// writing at a steady rate until its time is up or Ctrl+C / Ctrl+Break
// arrives, shows setting changes the logger's periodic reload picks up, and
// stops the logger cleanly with a summary.

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "common/logger/log_entry_points.h"
#include "common/registry/registry.h"
#include "common/util/unique_resource.h"
#include "tools/host/handle_table.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Options {
    std::wstring key;
    bool machine = false;
    bool writeDefaults = false;
    std::wstring logFile;
    std::wstring syslogHost = L"127.0.0.1:514";
    long threads = 2;
    long rate = 10;
    long duration = 60;
};

void Usage(FILE* out)
{
    std::fwprintf(out,
                  L"usage: logger-host --key PATH [--machine] [--write-defaults [--log-file FILE]\n"
                  L"                   [--syslog HOSTS]] [--threads N] [--rate N] [--duration SECONDS]\n"
                  L"  Starts the process-wide logger from the settings under registry key PATH\n"
                  L"  (HKEY_CURRENT_USER; with --machine HKEY_LOCAL_MACHINE), with the log file\n"
                  L"  named by its \"DebugLogFile\" value, and runs N producer threads (1-64,\n"
                  L"  default 2) that each log N records a second (1-10000, default 10) for\n"
                  L"  SECONDS (default 60; 0 runs until Ctrl+C or Ctrl+Break). Settings changed\n"
                  L"  in the key while it runs are picked up by the logger's reload every 30 s.\n"
                  L"  --write-defaults  first writes a default configuration into the key under\n"
                  L"                    HKEY_CURRENT_USER: file (UTF-8), syslog and console at\n"
                  L"                    level 3, no event log\n"
                  L"  --log-file FILE   the default's log file (default %%TEMP%%\\logger-host\\logger-host.txt)\n"
                  L"  --syslog HOSTS    the default's syslog receivers (default 127.0.0.1:514)\n"
                  L"Exit code 0 after a clean stop, 1 when the logger cannot be started or the\n"
                  L"defaults cannot be written, 2 for a bad command line.\n");
}

int BadArgument(const wchar_t* format, const wchar_t* argument)
{
    std::fwprintf(stderr, L"logger-host: ");
    std::fwprintf(stderr, format, argument);
    std::fwprintf(stderr, L" (see --help)\n");
    return kExitUsage;
}

bool ParseCount(const wchar_t* text, long low, long high, long& value)
{
    wchar_t* end = nullptr;
    errno = 0;
    const long parsed = std::wcstol(text, &end, 10);
    if (end == text || *end != L'\0' || errno != 0 || parsed < low || parsed > high) {
        return false;
    }
    value = parsed;
    return true;
}

// 0 when the options are complete, else the exit code to end with; -1 for --help.
int ParseOptions(int argc, wchar_t** argv, Options& options)
{
    struct Count {
        const wchar_t* name;
        long* value;
        long low;
        long high;
    };
    const Count counts[] = {
        {L"--threads", &options.threads, 1, 64},
        {L"--rate", &options.rate, 1, 10000},
        {L"--duration", &options.duration, 0, 86400 * 365},
    };
    bool logFileGiven = false;
    bool syslogGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--help") {
            return -1;
        }
        if (option == L"--machine") {
            options.machine = true;
            continue;
        }
        if (option == L"--write-defaults") {
            options.writeDefaults = true;
            continue;
        }
        const Count* count = nullptr;
        for (const Count& candidate : counts) {
            if (option == candidate.name) {
                count = &candidate;
            }
        }
        const bool takesText = option == L"--key" || option == L"--log-file" || option == L"--syslog";
        if (count == nullptr && !takesText) {
            return BadArgument(L"unknown option '%ls'", argv[i]);
        }
        if (i + 1 >= argc) {
            return BadArgument(L"%ls needs a value", argv[i]);
        }
        const wchar_t* value = argv[++i];
        if (count != nullptr) {
            if (!ParseCount(value, count->low, count->high, *count->value)) {
                std::fwprintf(stderr, L"logger-host: %ls wants a whole number from %ld to %ld, not '%ls'\n",
                              count->name, count->low, count->high, value);
                return kExitUsage;
            }
        } else if (*value == L'\0') {
            return BadArgument(L"%ls needs a value that is not empty", option.c_str());
        } else if (option == L"--key") {
            options.key = value;
        } else if (option == L"--log-file") {
            options.logFile = value;
            logFileGiven = true;
        } else {
            options.syslogHost = value;
            syslogGiven = true;
        }
    }
    if (options.key.empty()) {
        return BadArgument(L"%ls is required", L"--key");
    }
    if ((logFileGiven || syslogGiven) && !options.writeDefaults) {
        return BadArgument(L"%ls is used only with --write-defaults", logFileGiven ? L"--log-file" : L"--syslog");
    }
    if (options.writeDefaults && options.machine) {
        return BadArgument(L"%ls: the defaults are written under HKEY_CURRENT_USER only", L"--machine");
    }
    return 0;
}

std::wstring DefaultLogFile()
{
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    std::wstring folder = length > 0 && length <= MAX_PATH ? temp : L".\\";
    if (folder.back() != L'\\') {
        folder += L'\\';
    }
    return folder + L"logger-host\\logger-host.txt";
}

bool WriteDefaults(const Options& options)
{
    Registry key(options.key.c_str(), true);
    if (!key.Create()) {
        std::fwprintf(stderr, L"logger-host: cannot create HKEY_CURRENT_USER\\%ls (error %ld)\n",
                      options.key.c_str(), key.LastError());
        return false;
    }
    const std::wstring logFile = options.logFile.empty() ? DefaultLogFile() : options.logFile;
    struct Dword {
        const wchar_t* name;
        std::uint32_t value;
    };
    const Dword dwords[] = {
        {L"DebugLogLevel", 3},  {L"SysLogLevel", 3},    {L"ConsoleLogLevel", 3},
        {L"DebugLogEncoding", 1}, {L"EventLogEnabled", 0},
    };
    bool written = key.WriteString(L"DebugLogFile", logFile.c_str()) &&
                   key.WriteString(L"SysLogHost", options.syslogHost.c_str());
    for (const Dword& dword : dwords) {
        written = written && key.WriteDword(dword.name, dword.value);
    }
    if (!written) {
        std::fwprintf(stderr, L"logger-host: cannot write the defaults into HKEY_CURRENT_USER\\%ls (error %ld)\n",
                      options.key.c_str(), key.LastError());
        return false;
    }
    std::fwprintf(stdout, L"logger-host: wrote the defaults into HKEY_CURRENT_USER\\%ls, log file %ls\n",
                  options.key.c_str(), logFile.c_str());
    return true;
}

// Signalled by Ctrl+C, Ctrl+Break or a closing console; the producers and
// the main loop wait on it.
HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        ::SetEvent(g_stop);
        return TRUE;
    default:
        return FALSE;
    }
}

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& frequency)
{
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Record k of a thread is due k / rate seconds after the start, so a late
// record does not shift the ones after it.
void Produce(int thread, long rate, const LARGE_INTEGER& start, const LARGE_INTEGER& frequency,
             std::atomic<unsigned long long>& offered)
{
    for (long long record = 0;; ++record) {
        const double due = static_cast<double>(record) / static_cast<double>(rate);
        const double now = Seconds(start, frequency);
        const DWORD wait = due > now ? static_cast<DWORD>((due - now) * 1000.0) : 0;
        if (::WaitForSingleObject(g_stop, wait) != WAIT_TIMEOUT) {
            return;
        }
        DebugLog(3, L"logger-host thread %d record %I64d", thread, record);
        offered.fetch_add(1);
    }
}

struct Levels {
    int file, syslog, console, eventLog;
    bool operator!=(const Levels& other) const
    {
        return file != other.file || syslog != other.syslog || console != other.console ||
               eventLog != other.eventLog;
    }
};

Levels CurrentLevels()
{
    return {DebugLogGetDebugLogLevel(), DebugLogGetSysLogLevel(), DebugLogGetConsoleLogLevel(),
            DebugLogGetEventLogLevel()};
}

void PrintLevels(const wchar_t* what, const Levels& levels)
{
    std::fwprintf(stdout,
                  L"logger-host: %ls: DebugLogLevel %d, SysLogLevel %d, ConsoleLogLevel %d, EventLogLevel %d\n",
                  what, levels.file, levels.syslog, levels.console, levels.eventLog);
    std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    const int parsed = ParseOptions(argc, argv, options);
    if (parsed == -1) {
        Usage(stdout);
        return kExitOk;
    }
    if (parsed != 0) {
        return parsed;
    }

    unique_handle stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop) {
        std::fwprintf(stderr, L"logger-host: cannot create the stop event (error %lu)\n", ::GetLastError());
        return kExitFailed;
    }
    const long handlesAtStart = CountProcessHandles();
    if (options.writeDefaults && !WriteDefaults(options)) {
        return kExitFailed;
    }
    g_stop = stop.get();
    if (!::SetConsoleCtrlHandler(&OnConsoleControl, TRUE)) {
        // Without a console (output redirected, no console attached) the
        // duration alone ends the run.
        std::fwprintf(stderr, L"logger-host: no console control handler (error %lu)\n", ::GetLastError());
    }

    const wchar_t* const hive = options.machine ? L"HKEY_LOCAL_MACHINE" : L"HKEY_CURRENT_USER";
    // The start from the key, which also takes "DebugLogFile" from it and
    // gives the records the tag logger-host.
    if (!DebugLogStartWithFile(L"logger-host", options.key.c_str(), !options.machine, nullptr, nullptr)) {
        std::fwprintf(stderr, L"logger-host: the logger did not start from %ls\\%ls\n", hive,
                      options.key.c_str());
        return kExitFailed;
    }
    char logFile[MAX_PATH] = {};
    if (DebugLogGetLogFileName(logFile, sizeof(logFile)) == 0) {
        std::fwprintf(stderr, L"logger-host: no file logging: %ls\\%ls has no usable \"DebugLogFile\"\n", hive,
                      options.key.c_str());
    }
    std::fwprintf(stdout, L"logger-host: logging from %ls\\%ls with %ld threads at %ld records/s each, ", hive,
                  options.key.c_str(), options.threads, options.rate);
    if (options.duration > 0) {
        std::fwprintf(stdout, L"for %ld s (Ctrl+C or Ctrl+Break stops)\n", options.duration);
    } else {
        std::fwprintf(stdout, L"until Ctrl+C or Ctrl+Break\n");
    }
    Levels levels = CurrentLevels();
    PrintLevels(L"settings", levels);

    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    std::atomic<unsigned long long> offered{0};
    std::vector<std::thread> producers;
    try {
        for (int thread = 0; thread < options.threads; ++thread) {
            producers.emplace_back(Produce, thread, options.rate, std::cref(start), std::cref(frequency),
                                   std::ref(offered));
        }
    } catch (...) {
        std::fwprintf(stderr, L"logger-host: cannot start the producer threads\n");
        ::SetEvent(g_stop);
    }

    // Once a second: the end of the run, and what the logger's reload has
    // changed meanwhile.
    for (;;) {
        const double elapsed = Seconds(start, frequency);
        DWORD wait = 1000;
        if (options.duration > 0) {
            const double left = static_cast<double>(options.duration) - elapsed;
            if (left <= 0) {
                break;
            }
            if (left < 1.0) {
                wait = static_cast<DWORD>(left * 1000.0) + 1;
            }
        }
        if (::WaitForSingleObject(g_stop, wait) != WAIT_TIMEOUT) {
            std::fwprintf(stdout, L"logger-host: stop requested\n");
            break;
        }
        const Levels now = CurrentLevels();
        if (now != levels) {
            levels = now;
            PrintLevels(L"settings reloaded", levels);
        }
    }
    ::SetEvent(g_stop);
    for (std::thread& producer : producers) {
        producer.join();
    }
    const double elapsed = Seconds(start, frequency);
    DebugLogStopIfNoSink();
    ::SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
    const long handlesAtEnd = CountProcessHandles();

    std::fwprintf(stdout, L"logger-host: records offered: %llu\n", offered.load());
    std::fwprintf(stdout, L"logger-host: elapsed: %.3f s\n", elapsed);
    std::fwprintf(stdout, L"logger-host: handles at start: %ld, at end: %ld\n", handlesAtStart, handlesAtEnd);
    std::fflush(stdout);
    return kExitOk;
}
