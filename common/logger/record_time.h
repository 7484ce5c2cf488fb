#pragma once

// Producers stamp a record with the system time (a cheap read); the logger
// thread turns the stamp into the local time its outputs show. Consecutive
// records mostly fall in the same second, so the conversion through the time
// zone is made once a second and the milliseconds added to it.

#include <windows.h>

#include <cstdint>

// The current system time, as a record's stamp.
std::uint64_t RecordStamp() noexcept;

class RecordLocalTime {
public:
    // The local time of `stamp`, a value RecordStamp gave.
    SYSTEMTIME Of(std::uint64_t stamp) noexcept;

private:
    std::uint64_t second_ = 0;  // the stamp's second that `local_` holds; 0: none
    SYSTEMTIME local_ = {};     // that second in local time, milliseconds 0
};
