#pragma once

// The process-wide logger: producers on any thread hand it records, and its
// own thread writes them to the event log, the console, syslog and the file.
// Producers only format, fill a record (a written one kept for reuse when
// there is one) and append; every output's work happens on the logger thread.

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/logger/argument_check.h"
#include "common/logger/debug_log_settings.h"
#include "common/logger/log_output.h"
#include "common/logger/record_time.h"
#include "common/thread/recursive_lock.h"
#include "common/thread/thread.h"
#include "common/util/unique_resource.h"

constexpr std::int32_t kMaxLogLevel = 15;
// Passes every level test of an enabled output.
constexpr std::int32_t kAlwaysLogLevel = 5;
// Formatted messages are cut to this many characters.
constexpr std::size_t kLogTextUnits = 1024;
// Written records kept for reuse at most. A kept record's text has room for
// at most kLogTextUnits units, so the spares hold at most about 8 MB (about
// 1 MB with lines of a hundred characters).
constexpr std::size_t kSpareLogRecords = 4096;
// How often the running logger reads its registry settings again.
constexpr ULONGLONG kSettingsReloadMs = 30000;

// The settings, with the defaults of a new logger. The levels are read by
// producers while the reload may change them, hence atomic; everything else
// is written only by the host before the thread runs, or by the logger thread.
struct DebugLogConfig {
    std::string syslogHost;               // "SysLogHost": comma-separated receivers
    std::int32_t syslogFacility = 0;      // "SysLogFacility"
    std::tm fileDate = {};                // day, month (0-11), year - 1900 only
    std::int32_t defaultDebugLevel = 3;
    std::atomic<std::int32_t> debugLogLevel{3};    // "DebugLogLevel" (file)
    std::atomic<std::int32_t> eventLogLevel{2};    // "EventLogLevel"
    std::atomic<std::int32_t> syslogLevel{2};      // "SysLogLevel"
    std::atomic<std::int32_t> consoleLogLevel{3};  // "ConsoleLogLevel"
    std::atomic<std::int32_t> maxLevel{3};         // the largest of the four
    bool autoReload = true;
    bool useCurrentUser = false;          // settings under HKCU instead of HKLM
    std::wstring configKeyPath;           // empty = no registry
    std::wstring appName;
    std::wstring moduleName;
    std::wstring logFile;                 // "DebugLogFile"
    std::wstring messageModule;           // empty = the executable
    std::wstring eventSourceName;
    std::wstring logFolder;
    std::wstring logFilePrefix;           // "LogFilePrefix"
    std::wstring ident;                   // "DebugLogIdent"
    std::string hostName;
    std::int32_t debugLogSize = 2000000;  // "DebugLogSize"; 0 or less = no limit
    bool dailyFile = false;               // "DebugLogDailyFile"
    std::int32_t maxEventQueue = 0;       // "DebugLogMaxEventQueue"; 0 or less = unbounded
    std::int32_t maxDailyFileAge = 0;     // "DebugLogMaxDailyFileAge", days
    bool blockingSyslog = true;           // "BlockingSyslog"
    bool addSyslogHeader = true;          // "AddSyslogHeader"
    bool autoRoll = false;                // "DebugLogAutoRoll"
    bool debugLogEnabled = true;          // "DebugLogEnabled"
    bool syslogEnabled = true;            // "SysLogEnabled"
    bool consoleLogEnabled = false;       // "ConsoleLogEnabled"
    bool eventLogEnabled = true;          // "EventLogEnabled"
    bool dailyFolder = false;             // "DailyLogFileFolder"
    std::int32_t instanceNumber = 0;      // 1-998 once set
    std::int32_t eventLogTimeThreshold = 60;  // "EventLogTimeThreshold", seconds
    bool structuredNaming = false;
    std::int32_t encoding = 0;            // "DebugLogEncoding": 0 ANSI, 1 UTF-8, 2 UTF-16LE
    bool splitLines = false;
    bool reportEnvironment = true;
    std::int64_t startTime = 0;
};

class DebugLogger : public Thread {
public:
    DebugLogger() noexcept;
    // Stops the thread, waiting without limit; queued records go unwritten.
    ~DebugLogger() override;

    // Start-up. Each fills the settings and starts the thread; true when the
    // thread was started (not yet that it is ready).
    bool StartFromRegistry(const wchar_t* keyPath, bool currentUser) noexcept;
    bool StartWithFile(const wchar_t* moduleName, const wchar_t* keyPath, bool currentUser,
                       const wchar_t* logFile, LogRollCallback* rollCallback) noexcept;
    bool StartWithFile(const char* moduleName, const char* keyPath, bool currentUser,
                       const char* logFile, LogRollCallback* rollCallback) noexcept;
    bool StartWithLogRoot(const wchar_t* appName, const wchar_t* moduleName,
                          const wchar_t* keyPath, bool currentUser, const wchar_t* logRoot,
                          LogRollCallback* rollCallback) noexcept;
    bool StartWithLogRoot(const char* appName, const char* moduleName, const char* keyPath,
                          bool currentUser, const char* logRoot,
                          LogRollCallback* rollCallback) noexcept;
    bool StartWithSettings(const DebugLogSettings& settings) noexcept;
    // While not ready: sleeps 100 ms at a time as long as the thread runs.
    bool WaitUntilReady() const noexcept;

    // Settings changed while running.
    bool SetDebugLogLevel(std::int32_t level) noexcept;
    void SetEncoding(std::int32_t encoding) noexcept;
    void SetDefaultDebugLevel(std::int32_t level) noexcept;
    void SetInstanceNumber(std::int32_t number) noexcept;
    void SetRollCallback(LogRollCallback* callback) noexcept { rollCallback_ = callback; }
    bool AttachSink(LogSink* sink) noexcept;
    void SetDailyFile(bool daily) noexcept { config_.dailyFile = daily; }
    // What writes the environment report after each log-file open (when the
    // settings ask for it); set by the report's owner while the thread is
    // stopped.
    void SetEnvironmentReport(std::function<void()> report) { environmentReport_ = std::move(report); }
    void RunEnvironmentReport() const
    {
        if (environmentReport_) {
            environmentReport_();
        }
    }
    void SetReportEnvironment(bool report) noexcept { config_.reportEnvironment = report; }
    bool SetSplitLines(bool split) noexcept;
    void SetAppName(const char* name) noexcept;
    void SetMessageModule(const char* name) noexcept;

    std::int32_t GetDebugLogLevel() const noexcept { return config_.debugLogLevel; }
    std::int32_t GetEventLogLevel() const noexcept { return config_.eventLogLevel; }
    std::int32_t GetSysLogLevel() const noexcept { return config_.syslogLevel; }
    std::int32_t GetConsoleLogLevel() const noexcept { return config_.consoleLogLevel; }
    std::int32_t GetEventLogTimeThreshold() const noexcept { return config_.eventLogTimeThreshold; }
    bool HasNoSink() const noexcept { return externalSink_.load() == nullptr; }
    bool IsReady() const noexcept { return ready_.load(); }
    // Records are taken once the logger is ready, and from the logger thread
    // itself while it opens its outputs (its failure reports, the report
    // written after the first file opens): they are written once the outputs
    // are open.
    bool AcceptsRecords() const noexcept
    {
        return IsReady() || (openingOutputs_.load() && ::GetCurrentThreadId() == ThreadId());
    }
    bool IsFileLogging() const noexcept;
    // The log file name in the ANSI code page, cut to the buffer and always
    // terminated; 0 when file logging is off or there is no name or buffer.
    std::size_t GetLogFileName(char* buffer, std::size_t size) const noexcept;
    // valueIfDue once per interval (eventLogTimeThreshold for 0) since
    // *lastUse, else valueOtherwise; of racing callers exactly one is due.
    int LevelByInterval(volatile LONG64* lastUse, int valueIfDue, int valueOtherwise,
                        int intervalSeconds) const noexcept;
    // Stops the thread, waiting without limit, unless a sink is attached.
    void StopIfNoSink() noexcept;

    // The record path. A level passes the gate when some output's level
    // takes it, or when it is kAlwaysLogLevel.
    bool PassesLevelGate(std::int32_t level) const noexcept;
    // Gate, argument check, formatting, then Log; an entry whose arguments do
    // not fit its format is replaced by the "Invalid log entry" report.
    void LogChecked(LogCharKind kind, std::int32_t level, std::int32_t eventId,
                    const void* user, const void* format, va_list args) noexcept;
    // No gate and no check; dropped unless ready.
    void LogUnchecked(LogCharKind kind, std::int32_t level, std::int32_t eventId,
                      const void* user, const void* format, va_list args) noexcept;
    // Queues one record (or hands the text to the sink); a thread identifier
    // of 0 or less stands for the calling thread.
    void Log(std::int32_t level, std::int32_t eventId, std::int32_t threadId,
             const wchar_t* text, const wchar_t* user) noexcept;
    // Reports an entry that failed the argument check, at kAlwaysLogLevel.
    void ReportInvalidEntry(LogCharKind kind, std::int32_t level, std::int32_t eventId,
                            const void* format, const void* user,
                            const ArgumentCheck& check) noexcept;

    // The outputs; replaced only while the thread is not running.
    void SetOutput(LogOutputKind kind, std::unique_ptr<LogOutput> output) noexcept;
    // The level test each output applies: enabled, and the level within the
    // output's own level or kAlwaysLogLevel.
    bool OutputAccepts(LogOutputKind kind, std::int32_t level) const noexcept;

    // Reads the settings that may change while running, switching outputs
    // on and off; the logger thread does this every kSettingsReloadMs.
    void ReloadSettings() noexcept;

    const DebugLogConfig& Config() const noexcept { return config_; }
    std::size_t QueueLength() const noexcept { return queueLength_.load(); }
    bool QueueWarned() const noexcept { return queueWarned_; }
    bool QueueDropping() const noexcept { return queueDropping_; }

    LogRollCallback* RollCallback() const noexcept { return rollCallback_; }
    // The ANSI code page's locale, for the syslog lines' multibyte form.
    _locale_t ConversionLocale() const noexcept { return conversionLocale_.get(); }
    // For the outputs, which keep the date of the file, and for hosts that
    // set what no entry point sets. Write only while the thread is stopped.
    DebugLogConfig& MutableConfig() noexcept { return config_; }
    void SetFileDateToday() noexcept;
    void SetFileDate(const SYSTEMTIME& date) noexcept;

protected:
    void Run() override;

private:

    struct LocaleTraits {
        using type = _locale_t;
        static type none() noexcept { return nullptr; }
        static void close(type locale) noexcept { ::_free_locale(locale); }
    };

    // Formats a format known to be readable and logs the text.
    void FormatAndLog(LogCharKind kind, std::int32_t level, std::int32_t eventId,
                      const void* user, const void* format, va_list args) noexcept;
    void ReadStartSettings() noexcept;
    void RecomputeMaxLevel() noexcept;
    bool StartThread() noexcept;
    bool StoreDword(const wchar_t* name, std::uint32_t value, bool* opened) noexcept;

    std::unique_ptr<LogRecord> TakeFront() noexcept;
    void KeepForReuse(std::unique_ptr<LogRecord> record) noexcept;
    void Drain(bool stopSeen) noexcept;
    void ApplyQueueLimit(const LogRecord& taken) noexcept;
    void WriteRecord(const LogRecord& record);
    void WriteDirect(const wchar_t* text, std::int32_t level, const SYSTEMTIME& time) noexcept;
    LogOutput* Output(LogOutputKind kind) const noexcept;
    // One output operation, guarded like a write; nothing without the output.
    void CallOutput(LogOutputKind kind, void (LogOutput::*operation)()) noexcept;

    std::atomic<bool> ready_{false};
    std::atomic<bool> openingOutputs_{false};
    RecursiveLock queueLock_;
    std::deque<std::unique_ptr<LogRecord>> queue_;
    // Records the logger thread has taken from the queue in one go and not
    // yet written; they still count as queued.
    std::deque<std::unique_ptr<LogRecord>> taken_;
    // Written records kept for producers to fill again, with their text's
    // room: a steady flow of records costs the producers no heap block.
    // `spare_` is the producers' (under the queue lock); `written_` the
    // logger thread's, handed over when it next takes the queue.
    std::vector<std::unique_ptr<LogRecord>> spare_;
    // spare_.size(), read without the lock: a producer that would find no
    // spare takes the queue lock once a record, not twice.
    std::atomic<std::size_t> spareCount_{0};
    std::vector<std::unique_ptr<LogRecord>> written_;
    RecordLocalTime localTime_;  // the logger thread's
    std::atomic<std::size_t> queueLength_{0};  // read without the lock for the limit test
    DebugLogConfig config_;
    bool queueWarned_ = false;
    bool queueDropping_ = false;
    LogRollCallback* rollCallback_ = nullptr;
    std::atomic<LogSink*> externalSink_{nullptr};
    unique_resource<LocaleTraits> conversionLocale_;
    std::unique_ptr<LogOutput> outputs_[kLogOutputCount];
    ULONGLONG lastReload_ = 0;
    std::function<void()> environmentReport_;
};
