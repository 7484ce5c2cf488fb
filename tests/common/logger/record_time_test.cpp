// A record's stamp becomes the local time the system's own conversion gives,
// also when consecutive stamps cross a second, a day or go back in time.

#include <gtest/gtest.h>

#include <cstdint>

#include "common/logger/record_time.h"

namespace {

SYSTEMTIME SystemConversion(std::uint64_t stamp)
{
    FILETIME utc;
    utc.dwLowDateTime = static_cast<DWORD>(stamp);
    utc.dwHighDateTime = static_cast<DWORD>(stamp >> 32);
    FILETIME local;
    SYSTEMTIME result = {};
    EXPECT_TRUE(::FileTimeToLocalFileTime(&utc, &local));
    EXPECT_TRUE(::FileTimeToSystemTime(&local, &result));
    return result;
}

void ExpectSameTime(const SYSTEMTIME& expected, const SYSTEMTIME& actual, std::uint64_t stamp)
{
    EXPECT_EQ(expected.wYear, actual.wYear) << stamp;
    EXPECT_EQ(expected.wMonth, actual.wMonth) << stamp;
    EXPECT_EQ(expected.wDayOfWeek, actual.wDayOfWeek) << stamp;
    EXPECT_EQ(expected.wDay, actual.wDay) << stamp;
    EXPECT_EQ(expected.wHour, actual.wHour) << stamp;
    EXPECT_EQ(expected.wMinute, actual.wMinute) << stamp;
    EXPECT_EQ(expected.wSecond, actual.wSecond) << stamp;
    EXPECT_EQ(expected.wMilliseconds, actual.wMilliseconds) << stamp;
}

TEST(RecordLocalTime, MatchesTheSystemConversionInAndAcrossSeconds)
{
    constexpr std::uint64_t kSecond = 10000000;
    const std::uint64_t now = RecordStamp();
    const std::uint64_t midnight = now - now % (86400 * kSecond);  // a UTC day's start
    const std::uint64_t stamps[] = {
        now,
        now + 1,                           // the same second, or the next
        midnight - 1,                      // 23:59:59.9999999 UTC
        midnight,                          // the next UTC day
        midnight + 999 * 10000,            // .999 of that second
        midnight + kSecond,                // the second after
        midnight + kSecond + 5 * 10000,    // the same second again
        now - 3600 * kSecond,              // an hour back
        now,
    };
    RecordLocalTime converter;
    for (const std::uint64_t stamp : stamps) {
        ExpectSameTime(SystemConversion(stamp), converter.Of(stamp), stamp);
    }
}

TEST(RecordLocalTime, TheStampIsTheSystemTimeNow)
{
    FILETIME before;
    FILETIME after;
    ::GetSystemTimeAsFileTime(&before);
    const std::uint64_t stamp = RecordStamp();
    ::GetSystemTimeAsFileTime(&after);
    const auto value = [](const FILETIME& time) {
        return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    EXPECT_LE(value(before), stamp);
    EXPECT_LE(stamp, value(after));
}

}  // namespace
