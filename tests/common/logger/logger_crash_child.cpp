// Starts the process-wide logger on the file named by its argument, installs
// the default crash handler and faults: what the handler writes must reach
// the file before the process ends.

#include <windows.h>

#include <cstdio>
#include <string>

#include "common/logger/debug_logger.h"
#include "common/logger/log_entry_points.h"
#include "common/thread/crash_handler.h"

namespace {

int* volatile g_target = nullptr;

__attribute__((noinline)) void LoggerCrashChildFault()
{
    *g_target = 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        return 2;
    }
    DebugLogSettings settings;
    settings.debugLogLevel = 3;
    settings.consoleLogLevel = -1;
    settings.debugLogSize = 2000000;
    const std::wstring file = argv[1];
    std::snprintf(settings.logFile.get(), DebugLogSettings::kLogFileSize, "%ls", file.c_str());
    if (!DebugLogStartWithSettings(settings)) {
        return 3;
    }
    DebugLog(3, L"before the fault");
    DefaultHandler handler;
    LoggerCrashChildFault();
    return 1;
}
