#include "common/logger/debug_logger.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <locale.h>

#include "common/logger/console_output.h"
#include "common/logger/event_log_output.h"
#include "common/logger/file_output.h"
#include "common/logger/structured_exception.h"
#include "common/logger/syslog_output.h"
#include "common/registry/registry.h"
#include "common/util/ansi_text.h"

namespace {

// Registry strings of at most 259 characters, and the receiver list of at
// most 2047 bytes.
constexpr DWORD kPathValueUnits = 260;
constexpr DWORD kSyslogHostBytes = 2048;

const wchar_t kQueueExceeded[] =
    L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Exceeded, EVENTMSG=\"Dropping messages except for log file\"";
const wchar_t kQueueWarning[] =
    L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Warning, EVENTMSG=\"Event queue has exceeded 75%\"";
const wchar_t kQueueEnabled[] =
    L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Enabled, EVENTMSG=\"Event queue has dropped below 50%, re-enabling all logging.\"";
const wchar_t kThreadException[] =
    L"[DIAG] EVENT=DebugLog_Exception, EVENTMSG=\"DebugLog thread exception handled.\"";

bool IsLevel(std::uint32_t value) noexcept
{
    return value <= static_cast<std::uint32_t>(kMaxLogLevel);
}

// A level value counts only when it reads as a DWORD of at most 15.
bool ReadLevel(Registry& key, const wchar_t* name, std::int32_t& level) noexcept
{
    std::uint32_t value = 0;
    if (!key.ReadDword(name, value) || !IsLevel(value)) {
        return false;
    }
    level = static_cast<std::int32_t>(value);
    return true;
}

bool ReadWideString(Registry& key, const wchar_t* name, std::wstring& text) noexcept
{
    wchar_t buffer[kPathValueUnits] = {};
    if (!key.ReadString(name, buffer, kPathValueUnits)) {
        return false;
    }
    try {
        text = buffer;
    } catch (...) {
        return false;
    }
    return true;
}

std::wstring ParentPath(const std::wstring& path)
{
    const auto slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

const wchar_t* OrEmpty(const wchar_t* text) noexcept
{
    return text != nullptr ? text : L"";
}

}  // namespace

DebugLogger::DebugLogger() noexcept
    : Thread("DebugLogger"), conversionLocale_(::_create_locale(LC_ALL, ".ACP"))
{
    config_.startTime = static_cast<std::int64_t>(std::time(nullptr));
    try {
        outputs_[static_cast<int>(LogOutputKind::EventLog)] = std::make_unique<EventLogOutput>(*this);
        outputs_[static_cast<int>(LogOutputKind::Console)] = std::make_unique<ConsoleOutput>(*this);
        outputs_[static_cast<int>(LogOutputKind::Syslog)] = std::make_unique<SyslogOutput>(*this);
        outputs_[static_cast<int>(LogOutputKind::File)] = std::make_unique<FileOutput>(*this);
    } catch (...) {
        // Out of memory: the logger runs without that output.
    }
}

DebugLogger::~DebugLogger()
{
    Stop();
}

// ---------------------------------------------------------------- start-up

bool DebugLogger::StartFromRegistry(const wchar_t* keyPath, bool currentUser) noexcept
{
    try {
        config_.syslogHost.clear();
        config_.configKeyPath = OrEmpty(keyPath);
        config_.useCurrentUser = currentUser;
        config_.ident = config_.appName;
    } catch (...) {
        return false;
    }
    if (!config_.configKeyPath.empty()) {
        ReadStartSettings();
    }
    SetFileDateToday();
    return StartThread();
}

void DebugLogger::ReadStartSettings() noexcept
{
    Registry key(config_.configKeyPath.c_str(), config_.useCurrentUser);
    if (!key.Open(false)) {
        return;
    }
    DebugLogConfig& c = config_;
    std::int32_t level = 0;
    c.debugLogLevel = ReadLevel(key, L"DebugLogLevel", level) ? level : c.defaultDebugLevel;
    if (ReadLevel(key, L"EventLogLevel", level)) {
        c.eventLogLevel = level;
    }
    if (ReadLevel(key, L"SysLogLevel", level)) {
        c.syslogLevel = level;
    }
    if (ReadLevel(key, L"ConsoleLogLevel", level)) {
        c.consoleLogLevel = level;
        c.consoleLogEnabled = true;
    }
    RecomputeMaxLevel();
    key.ReadDword(L"ConsoleLogEnabled", c.consoleLogEnabled);
    char host[kSyslogHostBytes] = {};
    if (!key.ReadString("SysLogHost", host, kSyslogHostBytes)) {
        host[0] = '\0';
    }
    try {
        c.syslogHost = host;
    } catch (...) {
        c.syslogHost.clear();
    }
    key.ReadDword(L"SysLogFacility", c.syslogFacility, 0);
    key.ReadDword(L"BlockingSyslog", c.blockingSyslog);
    key.ReadDword(L"AddSyslogHeader", c.addSyslogHeader);
    key.ReadDword(L"SysLogEnabled", c.syslogEnabled, !c.syslogHost.empty());
    key.ReadDword(L"DebugLogSize", c.debugLogSize);
    key.ReadDword(L"DebugLogAutoRoll", c.autoRoll);
    key.ReadDword(L"DebugLogEnabled", c.debugLogEnabled, !c.logFile.empty());
    key.ReadDword(L"DebugLogDailyFile", c.dailyFile);
    key.ReadDword(L"DebugLogMaxDailyFileAge", c.maxDailyFileAge, 0);
    key.ReadDword(L"DebugLogMaxEventQueue", c.maxEventQueue, 0);
    key.ReadDword(L"DebugLogEncoding", c.encoding, 0);
    key.ReadDword(L"EventLogEnabled", c.eventLogEnabled);
    ReadWideString(key, L"DebugLogIdent", c.ident);
    key.ReadDword(L"EventLogTimeThreshold", c.eventLogTimeThreshold, 60);
}

bool DebugLogger::StartWithFile(const wchar_t* moduleName, const wchar_t* keyPath,
                                bool currentUser, const wchar_t* logFile,
                                LogRollCallback* rollCallback) noexcept
{
    try {
        config_.moduleName = OrEmpty(moduleName);
        config_.logFile = OrEmpty(logFile);
        config_.configKeyPath = OrEmpty(keyPath);
    } catch (...) {
        return false;
    }
    config_.useCurrentUser = currentUser;
    rollCallback_ = rollCallback;
    if (!config_.configKeyPath.empty()) {
        Registry key(config_.configKeyPath.c_str(), currentUser);
        if (key.Open(false) && !ReadWideString(key, L"DebugLogFile", config_.logFile)) {
            config_.logFile.clear();
        }
    }
    return StartFromRegistry(keyPath, currentUser);
}

bool DebugLogger::StartWithFile(const char* moduleName, const char* keyPath, bool currentUser,
                                const char* logFile, LogRollCallback* rollCallback) noexcept
{
    try {
        const std::wstring key = AnsiToWide(keyPath);
        return StartWithFile(AnsiToWide(moduleName).c_str(), keyPath != nullptr ? key.c_str() : nullptr,
                             currentUser, AnsiToWide(logFile).c_str(), rollCallback);
    } catch (...) {
        return false;
    }
}

bool DebugLogger::StartWithLogRoot(const wchar_t* appName, const wchar_t* moduleName,
                                   const wchar_t* keyPath, bool currentUser,
                                   const wchar_t* logRoot, LogRollCallback* rollCallback) noexcept
{
    DebugLogConfig& c = config_;
    try {
        c.structuredNaming = true;
        if (c.instanceNumber == 0) {
            c.instanceNumber = 1;
        }
        c.appName = OrEmpty(appName);
        c.moduleName = OrEmpty(moduleName);
        c.logFile = OrEmpty(logRoot);
        c.configKeyPath = OrEmpty(keyPath);
        c.useCurrentUser = currentUser;
        rollCallback_ = rollCallback;
        if (!c.configKeyPath.empty()) {
            const std::wstring parent = ParentPath(c.configKeyPath);
            if (!parent.empty()) {
                Registry key(parent.c_str(), currentUser);
                if (key.Open(false)) {
                    std::wstring root;
                    if (c.logFile.empty() && ReadWideString(key, L"LogRoot", root)) {
                        c.logFile = root;
                    }
                    key.ReadDword(L"DailyLogFileFolder", c.dailyFolder, true);
                    if (!ReadWideString(key, L"LogFilePrefix", c.logFilePrefix)) {
                        c.logFilePrefix.clear();
                    }
                }
            }
            if (c.logFile.empty()) {
                Registry key(c.configKeyPath.c_str(), currentUser);
                if (key.Open(false) && ReadWideString(key, L"DebugLogFile", c.logFile)) {
                    c.logFile = ParentPath(c.logFile);
                }
            }
            std::wstring folder = c.logFile;
            while (!folder.empty() && (folder.back() == L'/' || folder.back() == L'\\')) {
                folder.pop_back();
            }
            c.logFolder = folder;
            std::wstring file = folder;
            if (file.empty() || file.back() != L'\\') {
                file += L'\\';
            }
            c.logFile = file + L"_" + c.appName + L"_" + c.moduleName + L".txt";
        }
    } catch (...) {
        return false;
    }
    return StartFromRegistry(keyPath, currentUser);
}

bool DebugLogger::StartWithLogRoot(const char* appName, const char* moduleName,
                                   const char* keyPath, bool currentUser, const char* logRoot,
                                   LogRollCallback* rollCallback) noexcept
{
    try {
        const std::wstring key = AnsiToWide(keyPath);
        return StartWithLogRoot(AnsiToWide(appName).c_str(), AnsiToWide(moduleName).c_str(),
                                keyPath != nullptr ? key.c_str() : nullptr, currentUser,
                                AnsiToWide(logRoot).c_str(), rollCallback);
    } catch (...) {
        return false;
    }
}

bool DebugLogger::StartWithSettings(const DebugLogSettings& settings) noexcept
{
    DebugLogConfig& c = config_;
    try {
        c.moduleName = AnsiToWide(settings.moduleName.get());
        c.logFile = AnsiToWide(settings.logFile.get());
        c.syslogHost = settings.syslogHost ? settings.syslogHost.get() : "";
    } catch (...) {
        return false;
    }
    c.syslogFacility = settings.syslogFacility;
    c.debugLogSize = settings.debugLogSize;
    c.dailyFile = settings.dailyFile;
    c.debugLogLevel = settings.debugLogLevel;
    c.eventLogLevel = settings.eventLogLevel;
    c.syslogLevel = settings.syslogLevel;
    c.maxEventQueue = settings.maxEventQueue;
    c.maxDailyFileAge = settings.maxDailyFileAge;
    c.blockingSyslog = settings.blockingSyslog;
    c.addSyslogHeader = settings.addSyslogHeader;
    c.autoRoll = settings.autoRoll;
    rollCallback_ = settings.rollCallback;
    if (settings.encoding >= 0 && settings.encoding <= 2) {
        SetEncoding(settings.encoding);
    }
    if (settings.consoleLogLevel >= 0 && settings.consoleLogLevel <= kMaxLogLevel) {
        c.consoleLogLevel = settings.consoleLogLevel;
        c.consoleLogEnabled = true;
    }
    RecomputeMaxLevel();
    SetFileDateToday();
    c.autoReload = false;
    return StartThread();
}

bool DebugLogger::WaitUntilReady() const noexcept
{
    while (!IsReady()) {
        if (!IsRunning()) {
            return false;
        }
        ::Sleep(100);
    }
    return true;
}

bool DebugLogger::StartThread() noexcept
{
    return Start();
}

void DebugLogger::RecomputeMaxLevel() noexcept
{
    config_.maxLevel = std::max({config_.debugLogLevel.load(), config_.eventLogLevel.load(),
                                 config_.syslogLevel.load(), config_.consoleLogLevel.load()});
}

void DebugLogger::SetFileDateToday() noexcept
{
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    SetFileDate(now);
}

void DebugLogger::SetFileDate(const SYSTEMTIME& now) noexcept
{
    config_.fileDate = std::tm{};
    config_.fileDate.tm_mday = now.wDay;
    config_.fileDate.tm_mon = (now.wMonth >= 1 && now.wMonth <= 12) ? now.wMonth - 1 : 0;
    config_.fileDate.tm_year = now.wYear > 1900 ? now.wYear - 1900 : 0;
}

// ----------------------------------------------------- settings while running

bool DebugLogger::StoreDword(const wchar_t* name, std::uint32_t value, bool* opened) noexcept
{
    *opened = false;
    if (config_.configKeyPath.empty()) {
        return true;
    }
    // Written under HKLM whichever hive the settings came from.
    Registry key(HKEY_LOCAL_MACHINE, config_.configKeyPath.c_str());
    if (!key.Open(true)) {
        return true;
    }
    *opened = true;
    return key.WriteDword(name, value);
}

bool DebugLogger::SetDebugLogLevel(std::int32_t level) noexcept
{
    if (level > kMaxLogLevel) {
        return false;
    }
    bool opened = false;
    if (!StoreDword(L"DebugLogLevel", static_cast<std::uint32_t>(level), &opened)) {
        return false;
    }
    config_.debugLogLevel = level;
    RecomputeMaxLevel();
    return true;
}

void DebugLogger::SetEncoding(std::int32_t encoding) noexcept
{
    if (encoding < 0 || encoding > 2) {
        return;
    }
    config_.encoding = encoding;
    bool opened = false;
    StoreDword(L"DebugLogEncoding", static_cast<std::uint32_t>(encoding), &opened);
}

void DebugLogger::SetDefaultDebugLevel(std::int32_t level) noexcept
{
    if (level <= kMaxLogLevel) {
        config_.defaultDebugLevel = level;
    }
}

void DebugLogger::SetInstanceNumber(std::int32_t number) noexcept
{
    if (number >= 1 && number <= 998) {
        config_.instanceNumber = number;
    }
}

bool DebugLogger::AttachSink(LogSink* sink) noexcept
{
    externalSink_ = sink;
    ready_ = true;
    SetFileDateToday();
    return sink != nullptr;
}

bool DebugLogger::SetSplitLines(bool split) noexcept
{
    return std::exchange(config_.splitLines, split);
}

void DebugLogger::SetAppName(const char* name) noexcept
{
    try {
        config_.appName = AnsiToWide(name);
    } catch (...) {
        // Out of memory: the name stays as it was.
    }
}

void DebugLogger::SetMessageModule(const char* name) noexcept
{
    try {
        config_.messageModule = AnsiToWide(name);
    } catch (...) {
        // Out of memory: the name stays as it was.
    }
}

bool DebugLogger::IsFileLogging() const noexcept
{
    const LogOutput* const file = Output(LogOutputKind::File);
    return config_.debugLogEnabled && file != nullptr && file->IsOpen();
}

std::size_t DebugLogger::GetLogFileName(char* buffer, std::size_t size) const noexcept
{
    if (buffer == nullptr || size == 0 || !IsFileLogging() || config_.logFile.empty()) {
        return 0;
    }
    try {
        const std::string name = WideToAnsi(config_.logFile.c_str());
        const std::size_t length = std::min(name.size(), size - 1);
        std::memcpy(buffer, name.data(), length);
        buffer[length] = '\0';
        return length;
    } catch (...) {
        return 0;
    }
}

int DebugLogger::LevelByInterval(volatile LONG64* lastUse, int valueIfDue, int valueOtherwise,
                                 int intervalSeconds) const noexcept
{
    return ::LevelByInterval(lastUse, valueIfDue, valueOtherwise, intervalSeconds,
                             config_.eventLogTimeThreshold);
}

void DebugLogger::StopIfNoSink() noexcept
{
    if (HasNoSink()) {
        Stop();
    }
}

// --------------------------------------------------------------- record path

bool DebugLogger::PassesLevelGate(std::int32_t level) const noexcept
{
    return level == kAlwaysLogLevel || level <= config_.debugLogLevel ||
           level <= config_.eventLogLevel || level <= config_.syslogLevel ||
           level <= config_.consoleLogLevel;
}

void DebugLogger::LogChecked(LogCharKind kind, std::int32_t level, std::int32_t eventId,
                             const void* user, const void* format, va_list args) noexcept
{
    if (!PassesLevelGate(level)) {
        return;
    }
    const ArgumentCheck check = CheckLogArguments(kind, format, args);
    if (!check.valid) {
        ReportInvalidEntry(kind, level, eventId, format, user, check);
        return;
    }
    FormatAndLog(kind, level, eventId, user, format, args);
}

void DebugLogger::LogUnchecked(LogCharKind kind, std::int32_t level, std::int32_t eventId,
                               const void* user, const void* format, va_list args) noexcept
{
    if (!AcceptsRecords() || format == nullptr) {
        return;
    }
    // Even unchecked, a format that cannot be read is never formatted.
    const bool unreadable = kind == LogCharKind::Wide
                                ? ::IsBadStringPtrW(static_cast<const wchar_t*>(format), kLogTextUnits)
                                : ::IsBadStringPtrA(static_cast<const char*>(format), kLogTextUnits);
    if (!unreadable) {
        FormatAndLog(kind, level, eventId, user, format, args);
    }
}

void DebugLogger::FormatAndLog(LogCharKind kind, std::int32_t level, std::int32_t eventId,
                               const void* user, const void* format, va_list args) noexcept
{
    if (!AcceptsRecords()) {
        return;
    }
    wchar_t text[kLogTextUnits] = {};
    std::wstring userText;
    try {
        if (kind == LogCharKind::Wide) {
            va_list copy;
            va_copy(copy, args);
            FormatLogText(text, kLogTextUnits, static_cast<const wchar_t*>(format), copy);
            va_end(copy);
            if (user != nullptr && !::IsBadStringPtrW(static_cast<const wchar_t*>(user), kLogTextUnits)) {
                userText = static_cast<const wchar_t*>(user);
            }
        } else {
            char narrow[kLogTextUnits] = {};
            va_list copy;
            va_copy(copy, args);
            FormatLogText(narrow, kLogTextUnits, static_cast<const char*>(format), copy);
            va_end(copy);
            AnsiToWide(narrow, text, kLogTextUnits);
            if (user != nullptr && !::IsBadStringPtrA(static_cast<const char*>(user), kLogTextUnits)) {
                userText = AnsiToWide(static_cast<const char*>(user));
            }
        }
    } catch (...) {
        return;
    }
    Log(level, eventId, 0, text, user != nullptr ? userText.c_str() : nullptr);
}

void DebugLogger::ReportInvalidEntry(LogCharKind kind, std::int32_t level, std::int32_t eventId,
                                     const void* format, const void* user,
                                     const ArgumentCheck& check) noexcept
{
    if (!AcceptsRecords()) {
        return;
    }
    const std::wstring report = InvalidLogEntryText(kind, level, eventId, format, user, check);
    Log(kAlwaysLogLevel, 0, 0, report.c_str(), nullptr);
}

void DebugLogger::Log(std::int32_t level, std::int32_t eventId, std::int32_t threadId,
                      const wchar_t* text, const wchar_t* user) noexcept
{
    if (!AcceptsRecords()) {
        return;
    }
    try {
        if (LogSink* const sink = externalSink_.load()) {
            std::wstring trimmed = OrEmpty(text);
            TrimTrailingWhiteSpace(trimmed);
            sink->Write(trimmed.c_str());
            return;
        }
        if (level > config_.maxLevel && level != kAlwaysLogLevel) {
            return;
        }
        std::unique_ptr<LogRecord> record;
        if (spareCount_.load(std::memory_order_relaxed) != 0) {
            RecursiveLockGuard guard(queueLock_);
            if (!spare_.empty()) {
                record = std::move(spare_.back());
                spare_.pop_back();
                spareCount_.store(spare_.size(), std::memory_order_relaxed);
            }
        }
        if (!record) {
            record = std::make_unique<LogRecord>();
        }
        record->eventId = eventId;
        record->threadId = threadId > 0 ? static_cast<std::uint32_t>(threadId) : ::GetCurrentThreadId();
        record->level = level;
        record->user.assign(OrEmpty(user));
        record->hasUser = user != nullptr;
        record->text.assign(OrEmpty(text));
        TrimTrailingWhiteSpace(record->text);
        record->stamp = RecordStamp();
        RecursiveLockGuard guard(queueLock_);
        queue_.push_back(std::move(record));
        queueLength_.fetch_add(1);
    } catch (...) {
        // Out of memory, or a sink that threw: the record is lost, the
        // producer carries on.
    }
}

// ------------------------------------------------------------------- outputs

void DebugLogger::SetOutput(LogOutputKind kind, std::unique_ptr<LogOutput> output) noexcept
{
    if (IsRunning()) {
        return;
    }
    outputs_[static_cast<int>(kind)] = std::move(output);
}

LogOutput* DebugLogger::Output(LogOutputKind kind) const noexcept
{
    return outputs_[static_cast<int>(kind)].get();
}

bool DebugLogger::OutputAccepts(LogOutputKind kind, std::int32_t level) const noexcept
{
    bool enabled = false;
    std::int32_t own = 0;
    switch (kind) {
    case LogOutputKind::EventLog:
        enabled = config_.eventLogEnabled;
        own = config_.eventLogLevel;
        break;
    case LogOutputKind::Console:
        enabled = config_.consoleLogEnabled;
        own = config_.consoleLogLevel;
        break;
    case LogOutputKind::Syslog:
        enabled = config_.syslogEnabled;
        own = config_.syslogLevel;
        break;
    case LogOutputKind::File:
        enabled = config_.debugLogEnabled;
        own = config_.debugLogLevel;
        break;
    }
    return enabled && (level <= own || level == kAlwaysLogLevel);
}

void DebugLogger::CallOutput(LogOutputKind kind, void (LogOutput::*operation)()) noexcept
{
    if (LogOutput* const output = Output(kind)) {
        auto call = [output, operation] { (output->*operation)(); };
        CallGuarded(call, nullptr);
    }
}

// -------------------------------------------------------------------- reload

void DebugLogger::ReloadSettings() noexcept
{
    if (config_.configKeyPath.empty()) {
        return;
    }
    Registry key(config_.configKeyPath.c_str(), config_.useCurrentUser);
    if (!key.Open(false)) {
        return;
    }
    DebugLogConfig& c = config_;
    std::int32_t level = 0;
    c.debugLogLevel = ReadLevel(key, L"DebugLogLevel", level) ? level : c.defaultDebugLevel;
    c.eventLogLevel = ReadLevel(key, L"EventLogLevel", level) ? level : 2;
    c.syslogLevel = ReadLevel(key, L"SysLogLevel", level) ? level : 2;
    if (ReadLevel(key, L"ConsoleLogLevel", level)) {
        c.consoleLogLevel = level;
        c.consoleLogEnabled = true;
    } else {
        c.consoleLogLevel = 3;
        c.consoleLogEnabled = false;
    }
    RecomputeMaxLevel();
    key.ReadDword(L"ConsoleLogEnabled", c.consoleLogEnabled);
    key.ReadDword(L"DebugLogMaxDailyFileAge", c.maxDailyFileAge, 0);
    key.ReadDword(L"DebugLogEncoding", c.encoding, 0);
    key.ReadDword(L"BlockingSyslog", c.blockingSyslog, true);
    key.ReadDword(L"AddSyslogHeader", c.addSyslogHeader, true);

    // The three outputs that hold something open follow their switch.
    struct Switch {
        const wchar_t* name;
        bool* enabled;
        bool fallback;
        LogOutputKind kind;
    };
    const Switch switches[] = {
        {L"SysLogEnabled", &c.syslogEnabled, !c.syslogHost.empty(), LogOutputKind::Syslog},
        {L"DebugLogEnabled", &c.debugLogEnabled, !c.logFile.empty(), LogOutputKind::File},
        {L"EventLogEnabled", &c.eventLogEnabled, true, LogOutputKind::EventLog},
    };
    for (const Switch& entry : switches) {
        const bool before = *entry.enabled;
        key.ReadDword(entry.name, *entry.enabled, entry.fallback);
        if (*entry.enabled != before) {
            if (*entry.enabled) {
                CallOutput(entry.kind, &LogOutput::Open);
            } else {
                CallOutput(entry.kind, &LogOutput::Close);
            }
        }
    }
    key.ReadDword(L"EventLogTimeThreshold", c.eventLogTimeThreshold, 60);
}

// ------------------------------------------------------------ logger thread

std::unique_ptr<LogRecord> DebugLogger::TakeFront() noexcept
{
    // One hold of the lock takes everything queued, so that producers meet
    // the logger thread at the lock once per pass rather than once a record.
    if (taken_.empty()) {
        {
            RecursiveLockGuard guard(queueLock_);
            taken_.swap(queue_);
            if (spare_.empty()) {
                spare_.swap(written_);
            } else {
                try {
                    for (std::unique_ptr<LogRecord>& record : written_) {
                        if (spare_.size() >= kSpareLogRecords) {
                            break;
                        }
                        spare_.push_back(std::move(record));
                    }
                } catch (...) {
                    // No room for more spares: the rest are freed.
                }
            }
            spareCount_.store(spare_.size(), std::memory_order_relaxed);
        }
        written_.clear();  // what the spares had no room for is freed here, outside the lock
    }
    if (taken_.empty()) {
        return nullptr;
    }
    std::unique_ptr<LogRecord> record = std::move(taken_.front());
    taken_.pop_front();
    queueLength_.fetch_sub(1);
    if (record->stamp != 0) {
        record->time = localTime_.Of(record->stamp);
    }
    return record;
}

void DebugLogger::KeepForReuse(std::unique_ptr<LogRecord> record) noexcept
{
    // A record that once carried an unusually long text gives its room back.
    if (written_.size() >= kSpareLogRecords || record->text.capacity() > kLogTextUnits ||
        record->user.capacity() > kLogTextUnits) {
        return;
    }
    try {
        written_.push_back(std::move(record));
    } catch (...) {
        // No room to keep it: it is freed.
    }
}

void DebugLogger::ApplyQueueLimit(const LogRecord& taken) noexcept
{
    const std::int64_t limit = config_.maxEventQueue;
    if (limit <= 0) {
        return;
    }
    const auto remaining = static_cast<std::int64_t>(QueueLength());
    if (remaining > limit) {
        if (!queueDropping_) {
            WriteDirect(kQueueExceeded, 0, taken.time);
            queueDropping_ = true;
        }
    } else if (remaining > (3 * limit) / 4) {
        if (!queueWarned_) {
            WriteDirect(kQueueWarning, 1, taken.time);
            queueWarned_ = true;
        }
    } else if (remaining < limit / 2) {
        if (queueDropping_) {
            WriteDirect(kQueueEnabled, 1, taken.time);
        }
        queueDropping_ = false;
        queueWarned_ = false;
    }
}

void DebugLogger::WriteRecord(const LogRecord& record)
{
    static constexpr LogOutputKind kOrder[] = {LogOutputKind::EventLog, LogOutputKind::Console,
                                               LogOutputKind::Syslog, LogOutputKind::File};
    for (const LogOutputKind kind : kOrder) {
        if (queueDropping_ && kind != LogOutputKind::File) {
            continue;
        }
        if (LogOutput* const output = Output(kind)) {
            output->Write(record);
        }
    }
}

void DebugLogger::WriteDirect(const wchar_t* text, std::int32_t level,
                              const SYSTEMTIME& time) noexcept
{
    auto write = [&] {
        LogRecord record;
        record.threadId = ::GetCurrentThreadId();
        record.level = level;
        record.text = text;
        record.time = time;
        for (LogOutputKind kind : {LogOutputKind::EventLog, LogOutputKind::Console,
                                   LogOutputKind::Syslog, LogOutputKind::File}) {
            if (LogOutput* const output = Output(kind)) {
                output->Write(record);
            }
        }
    };
    CallGuarded(write, nullptr);
}

void DebugLogger::Drain(bool stopSeen) noexcept
{
    for (;;) {
        if (stopSeen) {
            ready_ = false;
        }
        std::unique_ptr<LogRecord> record = TakeFront();
        if (!record) {
            return;
        }
        auto write = [&] {
            if (config_.debugLogEnabled) {
                if (LogOutput* const file = Output(LogOutputKind::File)) {
                    file->Maintain();
                }
            }
            ApplyQueueLimit(*record);
            WriteRecord(*record);
        };
        if (!CallGuarded(write, nullptr)) {
            WriteDirect(kThreadException, 1, record->time);
        }
        KeepForReuse(std::move(record));
    }
}

void DebugLogger::Run()
{
    StructuredExceptionScope translation;
    try {
        config_.eventSourceName = config_.moduleName;
    } catch (...) {
        config_.eventSourceName.clear();
    }
    openingOutputs_ = true;
    CallOutput(LogOutputKind::Syslog, &LogOutput::Open);
    CallOutput(LogOutputKind::EventLog, &LogOutput::Open);
    CallOutput(LogOutputKind::File, &LogOutput::Open);
    openingOutputs_ = false;
    ready_ = true;
    lastReload_ = ::GetTickCount64();
    for (;;) {
        CallOutput(LogOutputKind::Syslog, &LogOutput::Connect);
        // A wait that fails cannot be woken either: treat it as the stop.
        const bool stopSeen = StopEvent().Wait(200) != 0;
        Drain(stopSeen);
        if (stopSeen) {
            break;
        }
        if (config_.autoReload && !config_.configKeyPath.empty() &&
            ::GetTickCount64() - lastReload_ > kSettingsReloadMs) {
            ReloadSettings();
            lastReload_ = ::GetTickCount64();
        }
    }
    ready_ = false;
    CallOutput(LogOutputKind::File, &LogOutput::Close);
    CallOutput(LogOutputKind::EventLog, &LogOutput::Close);
    CallOutput(LogOutputKind::Syslog, &LogOutput::Close);
}
