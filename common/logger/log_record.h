#pragma once

// One message on its way from a producer thread to the logger's outputs.

#include <windows.h>

#include <cstdint>
#include <string>

struct LogRecord {
    std::int32_t eventId = 0;   // the caller's identifier, 0 = none
    std::uint32_t threadId = 0; // the producing thread
    std::int32_t level = 0;     // 0-15
    std::wstring user;          // optional context text
    bool hasUser = false;       // a user was given, even an empty one
    std::wstring text;          // without trailing white space
    SYSTEMTIME time = {};       // local time the record was made
    // A queued record carries the system time it was made (FILETIME units);
    // the logger thread makes `time` from it when it takes the record.
    std::uint64_t stamp = 0;
};

// The identifier every output shows: the low 16 bits of the caller's
// identifier, or level x 10000 for a record without one.
inline std::uint32_t DisplayedRecordId(std::int32_t eventId, std::int32_t level) noexcept
{
    return eventId != 0 ? static_cast<std::uint32_t>(eventId) & 0xFFFFu
                        : static_cast<std::uint32_t>(level) * 10000u;
}

// Removes trailing spaces, tabs and line ends; white space only becomes empty.
inline void TrimTrailingWhiteSpace(std::wstring& text)
{
    const auto end = text.find_last_not_of(L" \t\r\n");
    text.erase(end == std::wstring::npos ? 0 : end + 1);
}
