#include "log_callback.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

bool IsLogCallbackPresent(LogCallback callback) noexcept
{
    return callback != nullptr &&
           ::IsBadWritePtr(reinterpret_cast<void*>(callback), 8) == 1;
}

void FormatLogMessage(wchar_t* message, const wchar_t* format, va_list args) noexcept
{
    std::fill(message, message + kLogMessageUnits, L'\0');
    // A cut message is still reported; the last unit stays zero either way.
    _vsnwprintf(message, kLogMessageLimit, format, args);
}

void ReportToCallback(LogCallback callback, std::int32_t level, const char* function,
                      std::int32_t line, LogContext* context, const wchar_t* format, ...) noexcept
{
    if (!IsLogCallbackPresent(callback) || format == nullptr) {
        return;
    }
    wchar_t message[kLogMessageUnits];
    va_list args;
    va_start(args, format);
    FormatLogMessage(message, format, args);
    va_end(args);
    if (IsLogCallbackPresent(callback)) {
        callback(level, 0, 0, 0, message, function, line, context);
    }
}
