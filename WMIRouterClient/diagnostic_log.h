#pragma once

// The provider's diagnostic log: every LogCallback in the DLL points at
// DiagnosticLog, which copies each message into the caller's record and
// appends one line to a daily file under the TEMP folder:
//   %TEMP%\yyyymmdd\COMPUTERNAME_log_yyyymmdd.txt

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/thread/recursive_lock.h"
#include "common/util/log_callback.h"

// Levels 0-5 are written with the letters C, E, W, blank, D, O.
class DiagnosticFile {
public:
    // Where the local date and time come from; a test puts its own here.
    using LocalClock = void(WINAPI*)(SYSTEMTIME*);

    explicit DiagnosticFile(LocalClock clock = &::GetLocalTime) noexcept;

    LogContext* Write(std::int32_t level, const wchar_t* message, const char* function,
                      std::int32_t line, LogContext* context) noexcept;

    // -1 and no change for an empty folder or a level outside -1..17.
    std::int32_t SetTarget(const wchar_t* folder, std::int32_t level) noexcept;
    const wchar_t* Folder() const noexcept { return folder_; }
    std::int32_t Level() const noexcept { return level_; }

private:
    static constexpr int kFolderUnits = 260;

    bool WriteLine(std::int32_t level, const wchar_t* message, const char* function,
                   std::int32_t line);
    bool Admits(std::int32_t level) const noexcept;

    LocalClock clock_;
    // Held across the whole write, never while anything is called that could
    // report back into this log.
    RecursiveLock lock_;
    wchar_t folder_[kFolderUnits + 1] = {};
    std::int32_t level_ = 3;
    const wchar_t* fileTag_ = L"log";
    std::wstring lastMessage_;
};

// The process-wide log behind DiagnosticLog.
DiagnosticFile& ProcessDiagnosticFile() noexcept;

LogContext* DiagnosticLog(std::int32_t level, std::int32_t reserved1, std::int32_t reserved2,
                          std::int32_t reserved3, const wchar_t* message, const char* function,
                          std::int32_t line, LogContext* context);

std::int32_t SetDiagnosticLogTarget(const wchar_t* folder, std::int32_t level);
const wchar_t* GetDiagnosticLogFolder();
std::int32_t GetDiagnosticLogLevel();
