#pragma once

// Making a component a source of the Windows Application event log, and the
// record a component keeps for writing to it.

#include <windows.h>

#include <cstdint>

#include "common/util/log_callback.h"

struct EventSourceRecord {
    HANDLE handle;         // from RegisterEventSourceW; null when not open
    wchar_t source[255];   // at most 254 characters
    std::int32_t level;    // diagnostic level -1..17
    wchar_t folder[255];   // at most 254 characters
};

// Writes "TypesSupported" (7) and "EventMessageFile" (the file of the module
// this code is in, which carries the message table) under
// SYSTEM\CurrentControlSet\Services\EventLog\Application\<source>.
void InstallEventSource(const wchar_t* source, LogCallback logCallback);

// Fills `record` and installs and registers the source on the way. -1 for a
// missing record or source, or (after installing) a missing folder; else 0.
std::int32_t StartLogging(const wchar_t* folder, std::int32_t level, const wchar_t* source,
                          EventSourceRecord* record);

// EVENTLOG_ERROR_TYPE for levels 0-1, EVENTLOG_WARNING_TYPE for 2, else
// EVENTLOG_INFORMATION_TYPE.
WORD ToEventLogType(std::int32_t level);
