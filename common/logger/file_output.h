#pragma once

// The logger's text file: its name, encoding and header, where writing
// continues, the record lines, the size wrap or roll, the day change and the
// retries after a failure. Used by the logger thread alone.

#include <windows.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "common/logger/log_output.h"

class DebugLogger;
struct DebugLogConfig;

// Written when the file is closed, found again when it is reopened: where
// the newest text stops.
constexpr const wchar_t kLogEndMarker[] = L"====== END OF LOG ======";
// A failure is retried this long after the last reopen.
constexpr ULONGLONG kLogFileRetryMs = 300000;

class FileOutput : public LogOutput {
public:
    explicit FileOutput(DebugLogger& logger) noexcept;
    ~FileOutput() override;

    void Open() override { ReopenLogFile(); }
    void Close() override { CloseLogFile(); }
    void Maintain() override;
    bool IsOpen() const override { return stream_ && stream_->is_open(); }
    void Write(const LogRecord& record) override;

    bool OpenLogFile();
    bool CloseLogFile();
    bool ReopenLogFile();
    // The position after the record (for the size test), or -1 on failure;
    // 0 when the record is not for the file.
    std::int64_t WriteFileRecord(const SYSTEMTIME& time, std::uint32_t threadId,
                                 std::int32_t level, const std::wstring& text,
                                 std::int32_t eventId, const std::wstring& user);
    bool WriteFileHeader();
    // 0 ANSI, 1 UTF-8, 2 UTF-16LE; -1 an empty file; -2 unreadable or another header.
    int DetectFileEncoding();

    const std::wstring& FileName() const noexcept { return fileName_; }
    // Where the output takes the local date and time from; GetLocalTime
    // unless a test sets another.
    using LocalTimeSource = void (*)(SYSTEMTIME* now);
    void SetLocalTimeSource(LocalTimeSource source) noexcept { clock_ = source; }
    // Where the retry delay is measured from; GetTickCount64 unless set.
    using TickSource = ULONGLONG (*)();
    void SetTickSource(TickSource source) noexcept { ticks_ = source; }

private:
    DebugLogConfig& Config() noexcept;
    bool OpenNamed(bool forceNew);
    bool PrepareOpenedFile();
    bool SeekToEndMarker();
    bool WriteLine(const std::wstring& line);
    bool RetryPending() const noexcept;
    bool WriteOpeningReport();
    // `what` followed by the C runtime's text and number for errno, once per errno.
    void ReportFailure(const std::wstring& what);

    DebugLogger& logger_;
    std::unique_ptr<std::wfstream> stream_;
    std::wstring fileName_;
    std::int32_t lastFileErrno_ = 0;
    ULONGLONG lastReopen_ = 0;
    // Where the last record line ended; -1 once anything else moved the stream.
    std::streampos lineEnd_ = std::streampos(-1);
    // The last open failed: records are not written, and the open is not
    // tried again, until the retry period since that open has passed.
    bool openFailed_ = false;
    bool reopenPending_ = false;  // a reopen for another encoding, once
    LocalTimeSource clock_ = &::GetLocalTime;
    TickSource ticks_ = &::GetTickCount64;
};
