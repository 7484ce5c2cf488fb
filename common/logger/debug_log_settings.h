#pragma once

// The settings record a host hands to DebugLogger::StartWithSettings instead
// of naming a registry key.

#include <cstdint>
#include <ctime>
#include <memory>

class LogRollCallback;

struct DebugLogSettings {
    static constexpr std::size_t kModuleNameSize = 257;
    static constexpr std::size_t kSyslogHostSize = 2048;
    static constexpr std::size_t kLogFileSize = 257;

    DebugLogSettings();

    DebugLogSettings(const DebugLogSettings&) = delete;
    DebugLogSettings& operator=(const DebugLogSettings&) = delete;

    std::int32_t debugLogLevel = 0;
    std::int32_t eventLogLevel = 0;
    std::int32_t syslogLevel = 0;
    std::int32_t consoleLogLevel = 0;  // 0-15 also switches the console on
    std::int32_t syslogFacility = 0;
    std::int32_t debugLogSize = 0;
    bool dailyFile = false;
    // Zeroed narrow buffers (ANSI code page) of the sizes above.
    std::unique_ptr<char[]> moduleName;
    std::unique_ptr<char[]> syslogHost;
    std::unique_ptr<char[]> logFile;
    std::int32_t maxEventQueue = 0;
    std::int32_t maxDailyFileAge = 0;
    bool blockingSyslog = true;
    bool addSyslogHeader = true;
    bool autoRoll = false;
    LogRollCallback* rollCallback = nullptr;
    std::int64_t created = 0;
    std::int32_t encoding = 1;
};
