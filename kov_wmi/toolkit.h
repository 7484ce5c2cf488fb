#pragma once

// What the toolkit's operations share: reporting through the caller's
// optional callback into the toolkit's record, and the test for a file that
// an operation is to register, compile or delete.

#include <windows.h>

#include <cstdint>

#include "common/util/log_callback.h"
#include "kov_wmi/log_context.h"

namespace kov_wmi {

template <typename... Args>
void Report(LogCallback callback, std::int32_t severity, const char* function, std::int32_t line,
            const wchar_t* format, Args... args)
{
    ReportToCallback(callback, severity, function, line, &g_logContext, format, args...);
}

// A file (not a folder) is there; one that is busy counts as there.
template <typename Char>
bool FileExists(const Char* path)
{
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    if constexpr (sizeof(Char) == sizeof(wchar_t)) {
        attributes = ::GetFileAttributesW(path);
    } else {
        attributes = ::GetFileAttributesA(path);
    }
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
               error == ERROR_SHARING_BUFFER_EXCEEDED;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace kov_wmi
