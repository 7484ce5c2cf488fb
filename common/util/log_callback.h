#pragma once

// The reporting convention shared by the provider, the registration toolkit
// and the library's own reporting components: a plain function pointer that
// receives one message at a time, and the caller-owned record it copies into.

#include <cstdarg>
#include <cstdint>

// Messages are formatted into zeroed buffers of this many UTF-16 units; the
// last unit always stays zero, so longer texts are cut at kLogMessageLimit.
constexpr int kLogMessageUnits = 2048;
constexpr int kLogMessageLimit = kLogMessageUnits - 1;

// Marks a record as valid; a callback never writes into a record without it.
constexpr std::int32_t kLogContextMarker = 51;

struct LogContext {
    std::int32_t marker = kLogContextMarker;
    wchar_t text[kLogMessageUnits] = {};
    std::int64_t fields[5] = {};
};

// level, three reserved integers (always 0), message, function name
// ("Class::Operation"), source line, the caller's record. Returns the record
// when the message was copied into it, otherwise null.
using LogCallback = LogContext* (*)(std::int32_t level, std::int32_t reserved1,
                                    std::int32_t reserved2, std::int32_t reserved3,
                                    const wchar_t* message, const char* function,
                                    std::int32_t line, LogContext* context);

// A callback counts as present only when it points at memory that cannot be
// written, as code cannot; a pointer into writable memory is no function.
bool IsLogCallbackPresent(LogCallback callback) noexcept;

// Formats a message into `message`, kLogMessageUnits long, zeroed first: a
// text longer than kLogMessageLimit is cut and stays terminated.
void FormatLogMessage(wchar_t* message, const wchar_t* format, va_list args) noexcept;

// Formats `format` (Windows wide printf: %s is a wide text, %hs a narrow one)
// and hands the message to `callback` if it is present. Nothing is formatted
// for an absent callback.
void ReportToCallback(LogCallback callback, std::int32_t level, const char* function,
                      std::int32_t line, LogContext* context, const wchar_t* format, ...) noexcept;
