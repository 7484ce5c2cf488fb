#pragma once

// The entry points through which the whole library writes to the
// process-wide logger. The variadic forms pass the level gate first, then
// have their arguments checked against the format (a mismatch is reported
// instead of formatted), then format at most 1023 characters. Narrow forms
// format narrow and convert with the ANSI code page. Until the logger is
// started, and after it is stopped or destroyed, records are dropped.

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "common/util/log_callback.h"

class DebugLogger;
class ThreadRegistry;
class LogRollCallback;
class LogSink;
struct DebugLogSettings;

// Wide.
void DebugLog(int level, const wchar_t* format, ...) noexcept;
void DebugLogW(int level, const wchar_t* format, ...) noexcept;
void DebugLogEvent(int level, int eventId, const wchar_t* format, ...) noexcept;
void DebugLogUser(const wchar_t* user, int level, const wchar_t* format, ...) noexcept;
void DebugLogUserEvent(const wchar_t* user, int level, int eventId, const wchar_t* format,
                       ...) noexcept;

// Narrow.
void DebugLog(int level, const char* format, ...) noexcept;
void DebugLogA(int level, const char* format, ...) noexcept;
void DebugLogMessage(int level, const char* format, ...) noexcept;
void DebugLogEvent(int level, int eventId, const char* format, ...) noexcept;
void DebugLogEventA(int level, int eventId, const char* format, ...) noexcept;
void DebugLogUser(const char* user, int level, const char* format, ...) noexcept;
void DebugLogUserA(const char* user, int level, const char* format, ...) noexcept;
void DebugLogUserEvent(const char* user, int level, int eventId, const char* format,
                       ...) noexcept;
void DebugLogUserEventA(const char* user, int level, int eventId, const char* format,
                        ...) noexcept;

// Argument lists: no gate, no check; dropped unless the logger is ready.
void DebugLogV(int level, const char* format, va_list args, int eventId, const char* user) noexcept;
void DebugLogV(int level, const wchar_t* format, va_list args, int eventId,
               const wchar_t* user) noexcept;
void DebugLogEventV(int level, int eventId, const char* format, va_list args,
                    const char* user) noexcept;
void DebugLogEventV(int level, int eventId, const wchar_t* format, va_list args,
                    const wchar_t* user) noexcept;

// Pre-formatted text: no gate, no check; dropped unless ready.
void DebugLogText(int level, int eventId, int threadId, const char* text, const char* user) noexcept;
void DebugLogText(int level, int eventId, int threadId, const wchar_t* text,
                  const wchar_t* user) noexcept;
// Logs a non-empty text as the format of DebugLogEvent; answers the text.
const wchar_t* DebugLogEventText(int level, int eventId, const wchar_t* text) noexcept;
// One line of a report: the text with the format "%s".
void DebugLogLine(int level, const wchar_t* text) noexcept;
// DebugLogLine as a log callback, the environment report's output: the level
// and the message reach the logger, the other arguments are ignored. Answers
// the caller's record (which it leaves alone) when a message was given, null
// for a null message.
LogContext* DebugLogLineCallback(std::int32_t level, std::int32_t reserved1, std::int32_t reserved2,
                                 std::int32_t reserved3, const wchar_t* message,
                                 const char* function, std::int32_t line,
                                 LogContext* context) noexcept;

// Wide formatting with the arguments checked first, as a level-3 entry: an
// invalid entry is reported, the buffer left alone and 0 returned. Otherwise
// at most size - 1 characters, always terminated, and the formatter's result.
int FormatChecked(wchar_t* buffer, std::size_t size, const wchar_t* format, ...) noexcept;

// Start-up on the process-wide logger; each waits until the logger is ready
// and answers false when its thread ended first.
bool DebugLogStartFromRegistry(const wchar_t* keyPath, bool currentUser) noexcept;
bool DebugLogStartWithFile(const wchar_t* moduleName, const wchar_t* keyPath, bool currentUser,
                           const wchar_t* logFile, LogRollCallback* rollCallback) noexcept;
bool DebugLogStartWithFile(const char* moduleName, const char* keyPath, bool currentUser,
                           const char* logFile, LogRollCallback* rollCallback) noexcept;
bool DebugLogStartWithLogRoot(const wchar_t* appName, const wchar_t* moduleName,
                              const wchar_t* keyPath, bool currentUser, const wchar_t* logRoot,
                              LogRollCallback* rollCallback) noexcept;
bool DebugLogStartWithLogRoot(const char* appName, const char* moduleName, const char* keyPath,
                              bool currentUser, const char* logRoot,
                              LogRollCallback* rollCallback) noexcept;
// Without the wait and without a roll callback.
bool DebugLogBeginWithLogRoot(const wchar_t* appName, const wchar_t* moduleName,
                              const wchar_t* keyPath, bool currentUser,
                              const wchar_t* logRoot) noexcept;
bool DebugLogStartWithSettings(const DebugLogSettings& settings) noexcept;

// Settings of the process-wide logger.
bool DebugLogSetDebugLogLevel(int level) noexcept;
void DebugLogSetEncoding(int encoding) noexcept;
void DebugLogSetDefaultDebugLevel(int level) noexcept;
void DebugLogSetInstanceNumber(int number) noexcept;
void DebugLogSetRollCallback(LogRollCallback* callback) noexcept;
bool DebugLogAttachSink(LogSink* sink) noexcept;
void DebugLogSetDailyFile(bool daily) noexcept;
void DebugLogSetReportEnvironment(bool report) noexcept;
bool DebugLogSetSplitLines(bool split) noexcept;
void DebugLogSetAppName(const char* name) noexcept;
void DebugLogSetMessageModule(const char* name) noexcept;
int DebugLogGetDebugLogLevel() noexcept;
int DebugLogGetEventLogLevel() noexcept;
int DebugLogGetSysLogLevel() noexcept;
int DebugLogGetConsoleLogLevel() noexcept;
int DebugLogGetEventLogTimeThreshold() noexcept;
bool DebugLogHasNoSink() noexcept;
bool DebugLogIsReady() noexcept;
bool DebugLogIsFileLogging() noexcept;
std::size_t DebugLogGetLogFileName(char* buffer, std::size_t size) noexcept;
void DebugLogStopIfNoSink() noexcept;
int DebugLogLevelByInterval(volatile long long* lastUse, int valueIfDue, int valueOtherwise,
                            int intervalSeconds) noexcept;

// The process-wide objects, for the library's own components. Null once they
// are destroyed. Call them only where no other thread can be destroying them
// (a host's control thread); the entry points above are safe at any time.
DebugLogger* ProcessDebugLogger() noexcept;
ThreadRegistry* ProcessThreadRegistry() noexcept;
