#include "bench/harness.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "common/util/unique_resource.h"

namespace bench {

namespace {

double Frequency()
{
    static const double frequency = [] {
        LARGE_INTEGER value;
        ::QueryPerformanceFrequency(&value);
        return static_cast<double>(value.QuadPart);
    }();
    return frequency;
}

double FiletimeMs(const FILETIME& time)
{
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return static_cast<double>(value.QuadPart) / 10000.0;
}

// The first field of a schedstat file: ns the task has spent on a CPU.
bool ReadSchedulerNs(const std::wstring& path, double& ns)
{
    unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    if (!file) {
        return false;
    }
    char text[128] = {};
    DWORD read = 0;
    if (!::ReadFile(file.get(), text, sizeof text - 1, &read, nullptr) || read == 0) {
        return false;
    }
    unsigned long long value = 0;
    if (std::sscanf(text, "%llu", &value) != 1) {
        return false;
    }
    ns = static_cast<double>(value);
    return true;
}

struct find_traits {
    using type = HANDLE;
    static type none() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { ::FindClose(h); }
};
using unique_find = unique_resource<find_traits>;

}  // namespace

std::int64_t Ticks()
{
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double TicksPerSecond() { return Frequency(); }

double TicksToNs(std::int64_t ticks) { return static_cast<double>(ticks) * 1e9 / Frequency(); }

double TicksToMs(std::int64_t ticks) { return static_cast<double>(ticks) * 1e3 / Frequency(); }

double Percentile(std::vector<double> values, double fraction)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const double rank = fraction * static_cast<double>(values.size() - 1);
    const std::size_t low = static_cast<std::size_t>(rank);
    const std::size_t high = std::min(low + 1, values.size() - 1);
    return values[low] + (values[high] - values[low]) * (rank - static_cast<double>(low));
}

Summary Summarize(const std::vector<double>& values)
{
    Summary summary;
    summary.count = values.size();
    if (values.empty()) {
        return summary;
    }
    summary.median = Percentile(values, 0.5);
    summary.q1 = Percentile(values, 0.25);
    summary.q3 = Percentile(values, 0.75);
    summary.p99 = Percentile(values, 0.99);
    summary.min = *std::min_element(values.begin(), values.end());
    summary.max = *std::max_element(values.begin(), values.end());
    return summary;
}

double ProcessCpuMs()
{
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        return -1;
    }
    return FiletimeMs(kernel) + FiletimeMs(user);
}

namespace {

bool FileHolds(const std::wstring& path, const std::string& text)
{
    unique_file file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    if (!file) {
        return false;
    }
    char buffer[4096];
    DWORD read = 0;
    if (!::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) {
        return false;
    }
    return std::string(buffer, read).find(text) != std::string::npos;
}

// Z:\proc\<pid>\ of the Linux process whose command line holds `token`.
std::wstring HostProcessFolder(const std::wstring& token)
{
    static std::wstring found;
    if (!found.empty() || token.empty()) {
        return found;
    }
    const std::string narrow(token.begin(), token.end());
    WIN32_FIND_DATAW entry = {};
    unique_find find(::FindFirstFileW(L"Z:\\proc\\*", &entry));
    if (!find) {
        return found;
    }
    do {
        if (entry.cFileName[0] < L'0' || entry.cFileName[0] > L'9') {
            continue;
        }
        const std::wstring folder = std::wstring(L"Z:\\proc\\") + entry.cFileName + L"\\";
        if (FileHolds(folder + L"cmdline", narrow)) {
            found = folder;
            break;
        }
    } while (::FindNextFileW(find.get(), &entry));
    return found;
}

}  // namespace

double HostSchedulerCpuMs(const std::wstring& token)
{
    const std::wstring folder = HostProcessFolder(token);
    if (folder.empty()) {
        return -1;
    }
    const std::wstring tasks = folder + L"task\\";
    WIN32_FIND_DATAW entry = {};
    unique_find find(::FindFirstFileW((tasks + L"*").c_str(), &entry));
    if (!find) {
        return -1;
    }
    double total = 0;
    bool any = false;
    do {
        if (entry.cFileName[0] == L'.') {
            continue;
        }
        double ns = 0;
        if (ReadSchedulerNs(tasks + entry.cFileName + L"\\schedstat", ns)) {
            total += ns;
            any = true;
        }
    } while (::FindNextFileW(find.get(), &entry));
    return any ? total / 1e6 : -1;
}

}  // namespace bench
