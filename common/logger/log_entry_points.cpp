#include "common/logger/log_entry_points.h"

#include <windows.h>

#include "common/logger/debug_logger.h"
#include "common/logger/process_logger.h"
#include "common/util/ansi_text.h"

namespace {

void ForwardChecked(LogCharKind kind, int level, int eventId, const void* user,
                    const void* format, va_list args) noexcept
{
    ProcessLoggerAccess access;
    if (DebugLogger* const logger = access.get()) {
        logger->LogChecked(kind, level, eventId, user, format, args);
    }
}

void ForwardUnchecked(LogCharKind kind, int level, int eventId, const void* user,
                      const void* format, va_list args) noexcept
{
    ProcessLoggerAccess access;
    if (DebugLogger* const logger = access.get()) {
        logger->LogUnchecked(kind, level, eventId, user, format, args);
    }
}

// The start-up wrappers wait without holding the logger, so that it can be
// destroyed meanwhile.
template <typename Start>
bool StartAndWait(Start start) noexcept
{
    {
        ProcessLoggerAccess access;
        DebugLogger* const logger = access.get();
        if (logger == nullptr) {
            return false;
        }
        start(*logger);
    }
    for (;;) {
        {
            ProcessLoggerAccess access;
            DebugLogger* const logger = access.get();
            if (logger == nullptr) {
                return false;
            }
            if (logger->IsReady()) {
                return true;
            }
            if (!logger->IsRunning()) {
                return false;
            }
        }
        ::Sleep(100);
    }
}

template <typename Result, typename Work>
Result WithLogger(Result none, Work work) noexcept
{
    ProcessLoggerAccess access;
    DebugLogger* const logger = access.get();
    return logger != nullptr ? work(*logger) : none;
}

template <typename Work>
void WithLogger(Work work) noexcept
{
    ProcessLoggerAccess access;
    if (DebugLogger* const logger = access.get()) {
        work(*logger);
    }
}

}  // namespace

// Every variadic form is the same three steps on its own argument list.
#define FORWARD_CHECKED(kind, user, eventId, level, format) \
    va_list args;                                           \
    va_start(args, format);                                 \
    ForwardChecked(kind, level, eventId, user, format, args); \
    va_end(args)

void DebugLog(int level, const wchar_t* format, ...) noexcept
{
    FORWARD_CHECKED(LogCharKind::Wide, nullptr, 0, level, format);
}

void DebugLogW(int level, const wchar_t* format, ...) noexcept
{
    FORWARD_CHECKED(LogCharKind::Wide, nullptr, 0, level, format);
}

void DebugLogEvent(int level, int eventId, const wchar_t* format, ...) noexcept
{
    FORWARD_CHECKED(LogCharKind::Wide, nullptr, eventId, level, format);
}

void DebugLogUser(const wchar_t* user, int level, const wchar_t* format, ...) noexcept
{
    FORWARD_CHECKED(LogCharKind::Wide, user, 0, level, format);
}

void DebugLogUserEvent(const wchar_t* user, int level, int eventId, const wchar_t* format,
                       ...) noexcept
{
    FORWARD_CHECKED(LogCharKind::Wide, user, eventId, level, format);
}

void DebugLog(int level, const char* format, ...) noexcept
{
    FORWARD_CHECKED(LogCharKind::Narrow, nullptr, 0, level, format);
}

void DebugLogA(int level, const char* format, ...) noexcept
{
    FORWARD_CHECKED(LogCharKind::Narrow, nullptr, 0, level, format);
}

void DebugLogMessage(int level, const char* format, ...) noexcept
{
    FORWARD_CHECKED(LogCharKind::Narrow, nullptr, 0, level, format);
}

void DebugLogEvent(int level, int eventId, const char* format, ...) noexcept
{
    FORWARD_CHECKED(LogCharKind::Narrow, nullptr, eventId, level, format);
}

void DebugLogEventA(int level, int eventId, const char* format, ...) noexcept
{
    FORWARD_CHECKED(LogCharKind::Narrow, nullptr, eventId, level, format);
}

void DebugLogUser(const char* user, int level, const char* format, ...) noexcept
{
    FORWARD_CHECKED(LogCharKind::Narrow, user, 0, level, format);
}

void DebugLogUserA(const char* user, int level, const char* format, ...) noexcept
{
    FORWARD_CHECKED(LogCharKind::Narrow, user, 0, level, format);
}

void DebugLogUserEvent(const char* user, int level, int eventId, const char* format, ...) noexcept
{
    FORWARD_CHECKED(LogCharKind::Narrow, user, eventId, level, format);
}

void DebugLogUserEventA(const char* user, int level, int eventId, const char* format,
                        ...) noexcept
{
    FORWARD_CHECKED(LogCharKind::Narrow, user, eventId, level, format);
}

#undef FORWARD_CHECKED

void DebugLogV(int level, const char* format, va_list args, int eventId, const char* user) noexcept
{
    ForwardUnchecked(LogCharKind::Narrow, level, eventId, user, format, args);
}

void DebugLogV(int level, const wchar_t* format, va_list args, int eventId,
               const wchar_t* user) noexcept
{
    ForwardUnchecked(LogCharKind::Wide, level, eventId, user, format, args);
}

void DebugLogEventV(int level, int eventId, const char* format, va_list args,
                    const char* user) noexcept
{
    ForwardUnchecked(LogCharKind::Narrow, level, eventId, user, format, args);
}

void DebugLogEventV(int level, int eventId, const wchar_t* format, va_list args,
                    const wchar_t* user) noexcept
{
    ForwardUnchecked(LogCharKind::Wide, level, eventId, user, format, args);
}

void DebugLogText(int level, int eventId, int threadId, const char* text, const char* user) noexcept
{
    WithLogger([&](DebugLogger& logger) {
        if (!logger.AcceptsRecords()) {
            return;
        }
        try {
            const std::wstring wideUser = AnsiToWide(user);
            logger.Log(level, eventId, threadId, AnsiToWide(text).c_str(),
                       user != nullptr ? wideUser.c_str() : nullptr);
        } catch (...) {
            // Out of memory for the conversion: the record is not queued.
        }
    });
}

void DebugLogText(int level, int eventId, int threadId, const wchar_t* text,
                  const wchar_t* user) noexcept
{
    WithLogger([&](DebugLogger& logger) { logger.Log(level, eventId, threadId, text, user); });
}

const wchar_t* DebugLogEventText(int level, int eventId, const wchar_t* text) noexcept
{
    if (text != nullptr && *text != L'\0') {
        DebugLogEvent(level, eventId, text);
    }
    return text;
}

void DebugLogLine(int level, const wchar_t* text) noexcept
{
    DebugLog(level, L"%s", text);
}

LogContext* DebugLogLineCallback(std::int32_t level, std::int32_t /*reserved1*/,
                                 std::int32_t /*reserved2*/, std::int32_t /*reserved3*/,
                                 const wchar_t* message, const char* /*function*/,
                                 std::int32_t /*line*/, LogContext* context) noexcept
{
    if (message == nullptr) {
        return nullptr;
    }
    DebugLogLine(level, message);
    return context;
}

int FormatChecked(wchar_t* buffer, std::size_t size, const wchar_t* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    int result = 0;
    const ArgumentCheck check = CheckLogArguments(LogCharKind::Wide, format, args);
    if (!check.valid) {
        WithLogger([&](DebugLogger& logger) {
            logger.ReportInvalidEntry(LogCharKind::Wide, 3, 0, format, nullptr, check);
        });
    } else {
        result = FormatLogText(buffer, size, format, args);
    }
    va_end(args);
    return result;
}

bool DebugLogStartFromRegistry(const wchar_t* keyPath, bool currentUser) noexcept
{
    return StartAndWait([&](DebugLogger& logger) { logger.StartFromRegistry(keyPath, currentUser); });
}

bool DebugLogStartWithFile(const wchar_t* moduleName, const wchar_t* keyPath, bool currentUser,
                           const wchar_t* logFile, LogRollCallback* rollCallback) noexcept
{
    return StartAndWait([&](DebugLogger& logger) {
        logger.StartWithFile(moduleName, keyPath, currentUser, logFile, rollCallback);
    });
}

bool DebugLogStartWithFile(const char* moduleName, const char* keyPath, bool currentUser,
                           const char* logFile, LogRollCallback* rollCallback) noexcept
{
    return StartAndWait([&](DebugLogger& logger) {
        logger.StartWithFile(moduleName, keyPath, currentUser, logFile, rollCallback);
    });
}

bool DebugLogStartWithLogRoot(const wchar_t* appName, const wchar_t* moduleName,
                              const wchar_t* keyPath, bool currentUser, const wchar_t* logRoot,
                              LogRollCallback* rollCallback) noexcept
{
    return StartAndWait([&](DebugLogger& logger) {
        logger.StartWithLogRoot(appName, moduleName, keyPath, currentUser, logRoot, rollCallback);
    });
}

bool DebugLogStartWithLogRoot(const char* appName, const char* moduleName, const char* keyPath,
                              bool currentUser, const char* logRoot,
                              LogRollCallback* rollCallback) noexcept
{
    return StartAndWait([&](DebugLogger& logger) {
        logger.StartWithLogRoot(appName, moduleName, keyPath, currentUser, logRoot, rollCallback);
    });
}

bool DebugLogBeginWithLogRoot(const wchar_t* appName, const wchar_t* moduleName,
                              const wchar_t* keyPath, bool currentUser,
                              const wchar_t* logRoot) noexcept
{
    return WithLogger(false, [&](DebugLogger& logger) {
        return logger.StartWithLogRoot(appName, moduleName, keyPath, currentUser, logRoot, nullptr);
    });
}

bool DebugLogStartWithSettings(const DebugLogSettings& settings) noexcept
{
    return StartAndWait([&](DebugLogger& logger) { logger.StartWithSettings(settings); });
}

bool DebugLogSetDebugLogLevel(int level) noexcept
{
    return WithLogger(false, [&](DebugLogger& logger) { return logger.SetDebugLogLevel(level); });
}

void DebugLogSetEncoding(int encoding) noexcept
{
    WithLogger([&](DebugLogger& logger) { logger.SetEncoding(encoding); });
}

void DebugLogSetDefaultDebugLevel(int level) noexcept
{
    WithLogger([&](DebugLogger& logger) { logger.SetDefaultDebugLevel(level); });
}

void DebugLogSetInstanceNumber(int number) noexcept
{
    WithLogger([&](DebugLogger& logger) { logger.SetInstanceNumber(number); });
}

void DebugLogSetRollCallback(LogRollCallback* callback) noexcept
{
    WithLogger([&](DebugLogger& logger) { logger.SetRollCallback(callback); });
}

bool DebugLogAttachSink(LogSink* sink) noexcept
{
    return WithLogger(false, [&](DebugLogger& logger) { return logger.AttachSink(sink); });
}

void DebugLogSetDailyFile(bool daily) noexcept
{
    WithLogger([&](DebugLogger& logger) { logger.SetDailyFile(daily); });
}

void DebugLogSetReportEnvironment(bool report) noexcept
{
    WithLogger([&](DebugLogger& logger) { logger.SetReportEnvironment(report); });
}

bool DebugLogSetSplitLines(bool split) noexcept
{
    return WithLogger(false, [&](DebugLogger& logger) { return logger.SetSplitLines(split); });
}

void DebugLogSetAppName(const char* name) noexcept
{
    WithLogger([&](DebugLogger& logger) { logger.SetAppName(name); });
}

void DebugLogSetMessageModule(const char* name) noexcept
{
    WithLogger([&](DebugLogger& logger) { logger.SetMessageModule(name); });
}

int DebugLogGetDebugLogLevel() noexcept
{
    return WithLogger(0, [](DebugLogger& logger) { return logger.GetDebugLogLevel(); });
}

int DebugLogGetEventLogLevel() noexcept
{
    return WithLogger(0, [](DebugLogger& logger) { return logger.GetEventLogLevel(); });
}

int DebugLogGetSysLogLevel() noexcept
{
    return WithLogger(0, [](DebugLogger& logger) { return logger.GetSysLogLevel(); });
}

int DebugLogGetConsoleLogLevel() noexcept
{
    return WithLogger(0, [](DebugLogger& logger) { return logger.GetConsoleLogLevel(); });
}

int DebugLogGetEventLogTimeThreshold() noexcept
{
    return WithLogger(0, [](DebugLogger& logger) { return logger.GetEventLogTimeThreshold(); });
}

bool DebugLogHasNoSink() noexcept
{
    return WithLogger(true, [](DebugLogger& logger) { return logger.HasNoSink(); });
}

bool DebugLogIsReady() noexcept
{
    return WithLogger(false, [](DebugLogger& logger) { return logger.IsReady(); });
}

bool DebugLogIsFileLogging() noexcept
{
    return WithLogger(false, [](DebugLogger& logger) { return logger.IsFileLogging(); });
}

std::size_t DebugLogGetLogFileName(char* buffer, std::size_t size) noexcept
{
    return WithLogger(std::size_t{0},
                      [&](DebugLogger& logger) { return logger.GetLogFileName(buffer, size); });
}

void DebugLogStopIfNoSink() noexcept
{
    WithLogger([](DebugLogger& logger) { logger.StopIfNoSink(); });
}

int DebugLogLevelByInterval(volatile long long* lastUse, int valueIfDue, int valueOtherwise,
                            int intervalSeconds) noexcept
{
    return WithLogger(valueOtherwise, [&](DebugLogger& logger) {
        return logger.LevelByInterval(lastUse, valueIfDue, valueOtherwise, intervalSeconds);
    });
}
