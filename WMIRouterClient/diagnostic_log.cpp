#include "diagnostic_log.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <share.h>

#include "WMIRouterClient/process_globals.h"
#include "common/util/unique_resource.h"

namespace {

constexpr int kDayFolderUnits = 260;
constexpr int kFilePathUnits = 276;
constexpr DWORD kComputerNameUnits = 255;

struct file_traits {
    using type = FILE*;
    static type none() noexcept { return nullptr; }
    static void close(type f) noexcept { std::fclose(f); }
};
using unique_stdio_file = unique_resource<file_traits>;

// Formats into a zeroed buffer with at most `limit` units; false when cut.
bool FormatLimited(wchar_t* buffer, int limit, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const int written = _vsnwprintf(buffer, static_cast<std::size_t>(limit), format, args);
    va_end(args);
    return written >= 0;
}

bool FolderExists(const wchar_t* path)
{
    const DWORD attributes = ::GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // A folder that is busy or out of sessions still exists.
        switch (::GetLastError()) {
        case ERROR_SHARING_VIOLATION:
        case ERROR_SHARING_BUFFER_EXCEEDED:
        case ERROR_TOO_MANY_NAMES:
        case ERROR_TOO_MANY_SESS:
            return true;
        default:
            return false;
        }
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// One level only. Another process may create the folder at the same moment.
bool EnsureFolder(const wchar_t* path)
{
    if (FolderExists(path)) {
        return true;
    }
    return ::CreateDirectoryW(path, nullptr) != FALSE ||
           (::GetLastError() == ERROR_ALREADY_EXISTS && FolderExists(path));
}

const wchar_t* WithTrailingBackslash(const wchar_t* path)
{
    const std::size_t length = std::wcslen(path);
    return (length > 0 && path[length - 1] == L'\\') ? L"" : L"\\";
}

wchar_t LevelLetter(std::int32_t level)
{
    switch (level) {
    case 0: return L'C';
    case 1: return L'E';
    case 2: return L'W';
    case 4: return L'D';
    case 5: return L'O';
    default: return L' ';
    }
}

}  // namespace

DiagnosticFile::DiagnosticFile(LocalClock clock) noexcept : clock_(clock) {}

std::int32_t DiagnosticFile::SetTarget(const wchar_t* folder, std::int32_t level) noexcept
{
    if (folder == nullptr || folder[0] == L'\0' ||
        static_cast<std::uint32_t>(level + 1) > 18u) {
        return -1;
    }
    RecursiveLockGuard guard(lock_);
    level_ = level;
    std::wcsncpy(folder_, folder, kFolderUnits);
    folder_[kFolderUnits] = L'\0';
    return 0;
}

bool DiagnosticFile::Admits(std::int32_t level) const noexcept
{
    if (level_ == 3) {
        return level <= 3;
    }
    if (level_ < 3) {
        return level <= level_;
    }
    return true;
}

LogContext* DiagnosticFile::Write(std::int32_t level, const wchar_t* message,
                                  const char* function, std::int32_t line,
                                  LogContext* context) noexcept
{
    const bool hasMessage = message != nullptr && message[0] != L'\0';
    LogContext* result = nullptr;
    if (context != nullptr && context->marker == kLogContextMarker &&
        ::IsBadWritePtr(context, 8) == 0 && hasMessage) {
        std::wcsncpy(context->text, message, kLogMessageLimit);
        context->text[kLogMessageLimit] = L'\0';
        result = context;
    }
    if (!hasMessage) {
        return nullptr;
    }
    try {
        RecursiveLockGuard guard(lock_);
        // A repeat is not written whatever its level; a message the level
        // filter drops still counts as the last one.
        if (lastMessage_ == message) {
            return result;
        }
        lastMessage_ = message;
        WriteLine(level, message, function, line);
    } catch (...) {
        // Reporting must never fail the caller.
    }
    return result;
}

bool DiagnosticFile::WriteLine(std::int32_t level, const wchar_t* message,
                               const char* function, std::int32_t line)
{
    if (folder_[0] == L'\0') {
        // A TEMP value longer than the folder buffer would name another
        // folder if cut: it is treated as not set.
        wchar_t temp[kFolderUnits + 1] = {};
        const DWORD length = ::GetEnvironmentVariableW(L"TEMP", temp, kFolderUnits + 1);
        if (length == 0 || length > kFolderUnits) {
            return false;
        }
        std::wcsncpy(folder_, temp, kFolderUnits);
    }
    if (!EnsureFolder(folder_)) {
        return false;
    }

    SYSTEMTIME date = {};
    clock_(&date);
    wchar_t dayFolder[kDayFolderUnits] = {};
    if (!FormatLimited(dayFolder, kDayFolderUnits - 1, L"%s%s%04d%02d%02d", folder_,
                       WithTrailingBackslash(folder_), date.wYear, date.wMonth, date.wDay) ||
        !EnsureFolder(dayFolder)) {
        return false;
    }

    wchar_t computer[kComputerNameUnits] = {};
    DWORD computerUnits = kComputerNameUnits;
    if (!::GetComputerNameExW(ComputerNameDnsHostname, computer, &computerUnits)) {
        std::wcscpy(computer, L"Unknown");
    }
    _wcsupr(computer);

    wchar_t path[kFilePathUnits] = {};
    if (!FormatLimited(path, kFilePathUnits - 1, L"%s%s%s_%s_%04d%02d%02d.txt", dayFolder,
                       WithTrailingBackslash(dayFolder), computer, fileTag_, date.wYear,
                       date.wMonth, date.wDay)) {
        return false;
    }

    const wchar_t letter = LevelLetter(level);
    if (!Admits(level)) {
        return false;
    }

    SYSTEMTIME now = {};
    clock_(&now);
    wchar_t stamp[32] = {};
    FormatLimited(stamp, 31, L"%02d/%02d %02d:%02d:%02d", now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);

    const char* name = function != nullptr ? function : "";
    wchar_t text[kLogMessageUnits] = {};
    const bool whole =
        level == 4
            ? FormatLimited(text, kLogMessageLimit, L"%s|%c|%d| [%hs]- %s\n", stamp, letter, line,
                            name, message)
            : FormatLimited(text, kLogMessageLimit, L"%s|%c [%hs]- %s\n", stamp, letter, name,
                            message);
    if (!whole) {
        // A cut line still ends its line, or the next one would run into it.
        text[kLogMessageLimit - 1] = L'\n';
    }

    unique_stdio_file file(_wfsopen(path, L"a", _SH_DENYNO));
    if (!file) {
        return false;
    }
    return std::fputws(text, file.get()) >= 0;
}

DiagnosticFile& ProcessDiagnosticFile() noexcept
{
    return g_diagnosticFile;
}

LogContext* DiagnosticLog(std::int32_t level, std::int32_t /*reserved1*/,
                          std::int32_t /*reserved2*/, std::int32_t /*reserved3*/,
                          const wchar_t* message, const char* function, std::int32_t line,
                          LogContext* context)
{
    return ProcessDiagnosticFile().Write(level, message, function, line, context);
}

std::int32_t SetDiagnosticLogTarget(const wchar_t* folder, std::int32_t level)
{
    return ProcessDiagnosticFile().SetTarget(folder, level);
}

const wchar_t* GetDiagnosticLogFolder()
{
    return ProcessDiagnosticFile().Folder();
}

std::int32_t GetDiagnosticLogLevel()
{
    return ProcessDiagnosticFile().Level();
}
