#include "common/logger/record_time.h"

namespace {

constexpr std::uint64_t kTicksPerSecond = 10000000;  // 100-ns units
constexpr std::uint64_t kTicksPerMillisecond = 10000;

FILETIME AsFileTime(std::uint64_t value) noexcept
{
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

}  // namespace

std::uint64_t RecordStamp() noexcept
{
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

SYSTEMTIME RecordLocalTime::Of(std::uint64_t stamp) noexcept
{
    const std::uint64_t second = stamp / kTicksPerSecond;
    if (second != second_) {
        const FILETIME utc = AsFileTime(second * kTicksPerSecond);
        FILETIME local;
        if (!::FileTimeToLocalFileTime(&utc, &local) || !::FileTimeToSystemTime(&local, &local_)) {
            SYSTEMTIME now;
            ::GetLocalTime(&now);
            second_ = 0;
            return now;
        }
        second_ = second;
    }
    SYSTEMTIME result = local_;
    result.wMilliseconds = static_cast<WORD>((stamp % kTicksPerSecond) / kTicksPerMillisecond);
    return result;
}
