#include "common/logger/event_log_output.h"

#include <cwchar>

#include "common/logger/debug_logger.h"
#include "common/registry/registry.h"
#include "common/thread/interlocked.h"

namespace {

// The event-log registration API knows paths of up to this many characters.
constexpr std::size_t kRegistryPathChars = 260;

struct LevelEntry {
    std::int32_t level;
    WORD type;
    DWORD defaultId;
};

// Severity in the top two bits, customer bit, facility 0xFFF, code level x 10000.
constexpr LevelEntry kLevelEntries[] = {
    {0, EVENTLOG_ERROR_TYPE, 0xEFFF2710},
    {1, EVENTLOG_ERROR_TYPE, 0xEFFF2710},
    {2, EVENTLOG_WARNING_TYPE, 0xAFFF4E20},
    {3, EVENTLOG_INFORMATION_TYPE, 0x6FFF7530},
    {5, EVENTLOG_INFORMATION_TYPE, 0x6FFFC350},
};

bool IsNtPlatform() noexcept
{
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const BOOL known = ::GetVersionExW(&version);
#pragma GCC diagnostic pop
    return known && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

}  // namespace

bool EventLogEntryFor(std::int32_t level, std::int32_t eventId, EventLogEntry& entry) noexcept
{
    for (const LevelEntry& known : kLevelEntries) {
        if (known.level == level) {
            entry.type = known.type;
            entry.eventId = eventId != 0 ? static_cast<DWORD>(eventId) : known.defaultId;
            return true;
        }
    }
    return false;
}

EventLogOutput::EventLogOutput(const DebugLogger& logger) noexcept : logger_(logger) {}

EventLogOutput::~EventLogOutput()
{
    Close();
}

void EventLogOutput::Open()
{
    const DebugLogConfig& config = logger_.Config();
    if (!config.eventLogEnabled || source_ || config.eventSourceName.empty() || !IsNtPlatform()) {
        return;
    }
    // A source without a message file still takes entries: register it anyway.
    StoreMessageFile(config.eventSourceName);
    source_.reset(::RegisterEventSourceW(nullptr, config.eventSourceName.c_str()));
}

void EventLogOutput::StoreMessageFile(const std::wstring& sourceName) const noexcept
{
    wchar_t path[kRegistryPathChars] = {};
    const int joined = _snwprintf(path, kRegistryPathChars - 1, L"%s%s", kEventLogSourceRoot,
                                  sourceName.c_str());
    // A cut path would name another source's key.
    if (joined < 0 || static_cast<std::size_t>(joined) >= kRegistryPathChars - 1) {
        return;
    }
    Registry key(HKEY_LOCAL_MACHINE, path);
    if (!key.Create()) {
        return;
    }
    const std::wstring& messageModule = logger_.Config().messageModule;
    // A module that is not loaded gives a null handle, which names the executable.
    const HMODULE module = messageModule.empty() ? nullptr : ::GetModuleHandleW(messageModule.c_str());
    wchar_t file[kRegistryPathChars] = {};
    const DWORD length = ::GetModuleFileNameW(module, file, kRegistryPathChars - 1);
    if (length == 0 || length >= kRegistryPathChars - 1) {
        return;
    }
    // Failed writes leave the source without a message file, nothing more.
    key.WriteDword(L"TypesSupported", static_cast<DWORD>(7));
    key.WriteString(L"EventMessageFile", file);
}

void EventLogOutput::Close()
{
    source_.reset();
}

void EventLogOutput::Write(const LogRecord& record)
{
    EventLogEntry entry = {};
    if (!logger_.OutputAccepts(LogOutputKind::EventLog, record.level) || !source_ ||
        !EventLogEntryFor(record.level, record.eventId, entry)) {
        return;
    }
    ReportEntry(entry, record.text);
}

void EventLogOutput::ReportEntry(const EventLogEntry& entry, const std::wstring& text) noexcept
{
    const wchar_t* strings[] = {text.c_str()};
    // Nothing useful can be done when the event log refuses an entry.
    ::ReportEventW(source_.get(), entry.type, 0, entry.eventId, nullptr, 1, 0, strings, nullptr);
}

int LevelByInterval(volatile LONG64* lastUse, int valueIfDue, int valueOtherwise,
                    int intervalSeconds, int defaultSeconds) noexcept
{
    return LevelByInterval(lastUse, valueIfDue, valueOtherwise, intervalSeconds, defaultSeconds,
                           std::time(nullptr));
}

int LevelByInterval(volatile LONG64* lastUse, int valueIfDue, int valueOtherwise,
                    int intervalSeconds, int defaultSeconds, std::time_t now) noexcept
{
    if (lastUse == nullptr) {
        return valueIfDue;
    }
    const LONG64 last = *lastUse;
    const LONG64 interval = intervalSeconds != 0 ? intervalSeconds : defaultSeconds;
    const LONG64 current = static_cast<LONG64>(now);
    // Of several callers that saw the same last use, only one moves it on.
    if (current - last > interval && AtomicCompareExchange(lastUse, current, last) == last) {
        return valueIfDue;
    }
    return valueOtherwise;
}
