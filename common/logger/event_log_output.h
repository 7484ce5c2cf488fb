#pragma once

// The logger's event-log output: entries in the Application event log under
// the logger's own event source. Also the interval gate that lets a caller
// send a repeated message to the event log at most once per threshold.

#include <windows.h>

#include <cstdint>
#include <ctime>
#include <string>

#include "common/logger/log_output.h"
#include "common/util/unique_resource.h"

class DebugLogger;

// The event type and message identifier one record is reported with.
struct EventLogEntry {
    WORD type;
    DWORD eventId;
};

// The entry a record of `level` becomes: the type by level and the record's
// own identifier when it is not 0, else the level's default identifier.
// False for the levels never written (below 0, 4, above 5).
bool EventLogEntryFor(std::int32_t level, std::int32_t eventId, EventLogEntry& entry) noexcept;

// Where a source's registration lives below HKEY_LOCAL_MACHINE.
constexpr const wchar_t* kEventLogSourceRoot =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

class EventLogOutput : public LogOutput {
public:
    explicit EventLogOutput(const DebugLogger& logger) noexcept;
    ~EventLogOutput() override;

    EventLogOutput(const EventLogOutput&) = delete;
    EventLogOutput& operator=(const EventLogOutput&) = delete;

    // Registers the message file for the logger's source and opens the
    // source, unless the event log is off, the source is open or unnamed.
    void Open() override;
    void Close() override;
    bool IsOpen() const override { return static_cast<bool>(source_); }
    void Write(const LogRecord& record) override;

    HANDLE Source() const noexcept { return source_.get(); }

protected:
    // The one call that reaches the event log; tests observe entries here.
    virtual void ReportEntry(const EventLogEntry& entry, const std::wstring& text) noexcept;

private:
    struct EventSourceTraits {
        using type = HANDLE;
        static type none() noexcept { return nullptr; }
        static void close(type source) noexcept { ::DeregisterEventSource(source); }
    };

    void StoreMessageFile(const std::wstring& sourceName) const noexcept;

    const DebugLogger& logger_;
    unique_resource<EventSourceTraits> source_;
};

// valueIfDue when more than the interval (intervalSeconds, or defaultSeconds
// when that is 0) has passed since *lastUse and this caller is the one that
// moves *lastUse to now; valueOtherwise else. A null pointer is always due.
int LevelByInterval(volatile LONG64* lastUse, int valueIfDue, int valueOtherwise,
                    int intervalSeconds, int defaultSeconds) noexcept;
// The same at an explicit current time, in seconds.
int LevelByInterval(volatile LONG64* lastUse, int valueIfDue, int valueOtherwise,
                    int intervalSeconds, int defaultSeconds, std::time_t now) noexcept;
