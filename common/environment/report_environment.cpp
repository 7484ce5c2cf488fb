#include "common/environment/report_environment.h"

#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <memory>
#include <new>

#include "common/environment/module_version.h"
#include "common/environment/performance_data.h"
#include "common/environment/provider_list.h"
#include "common/logger/log_entry_points.h"
#include "common/logger/structured_exception.h"
#include "common/registry/registry.h"
#include "common/thread/crash_handler.h"
#include "common/util/ansi_text.h"
#include "common/util/system_error_text.h"
#include "common/util/unique_resource.h"

namespace {

constexpr const char* kVersions = "ReportEnvironment::ReportEnvironmentVersions";
constexpr const char* kSystemInfo = "ReportEnvironment::ReportSystemInfo";
constexpr const char* kMemoryInfo = "ReportEnvironment::ReportSystemMemoryInfo";
constexpr const char* kUpTime = "GetUpTimeSecs";
constexpr const char* kProcesses = "ReportEnvironment::ReportCurrentProcesses";
constexpr const char* kProcessesNT = "ReportEnvironment::ReportCurrentProcessesNT";
constexpr const char* kServiceInfo = "ReportEnvironment::GetServiceInfo";

// A line keeps at most kLineUnits - 2 characters.
constexpr std::size_t kLineUnits = 512;
constexpr std::int32_t kError = 1;
constexpr std::int32_t kWarning = 2;
constexpr std::int32_t kInfo = 3;

// Performance-data reads start with a fixed buffer and grow it while the
// registry asks for more; a collector that never stops asking must not
// grow it without end.
constexpr DWORD kUpTimeBlockSize = 8192;
constexpr DWORD kUpTimeBlockGrowth = 1024;
constexpr DWORD kProcessBlockSize = 51200;
constexpr DWORD kProcessBlockGrowth = 25600;
constexpr DWORD kMaxPerformanceBlock = 64u << 20;

constexpr std::size_t kMaxNameSpaceEntries = 50;

LogContext g_reportContext;

template <typename... Args>
void WriteLine(LogCallback callback, std::int32_t level, const char* function, std::int32_t line,
               const wchar_t* format, Args... args) noexcept
{
    if (!IsLogCallbackPresent(callback)) {
        return;
    }
    wchar_t text[kLineUnits] = {};
    // A rejected argument list leaves the line empty; it is still passed.
    FormatChecked(text, kLineUnits - 1, format, args...);
    if (IsLogCallbackPresent(callback)) {
        callback(level, 0, 0, 0, text, function, line, &g_reportContext);
    }
}

std::int64_t Now() noexcept
{
    return static_cast<std::int64_t>(::_time64(nullptr));
}

bool IsBlank(wchar_t c) noexcept
{
    return c == L' ' || c == L'\t';
}

std::wstring TrimBlanks(const wchar_t* text)
{
    std::wstring trimmed = text;
    const auto first = std::find_if_not(trimmed.begin(), trimmed.end(), IsBlank);
    trimmed.erase(trimmed.begin(), first);
    const auto last = std::find_if_not(trimmed.rbegin(), trimmed.rend(), IsBlank);
    trimmed.erase(last.base(), trimmed.end());
    return trimmed;
}

struct service_traits {
    using type = SC_HANDLE;
    static type none() noexcept { return nullptr; }
    static void close(type h) noexcept { ::CloseServiceHandle(h); }
};
using unique_service = unique_resource<service_traits>;

// Live probes.

FARPROC KernelExport(const char* name) noexcept
{
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    return kernel != nullptr ? ::GetProcAddress(kernel, name) : nullptr;
}

template <typename Function>
Function KernelFunction(const char* name) noexcept
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(KernelExport(name)));
}

bool LiveVersionEx(OSVERSIONINFOEXW& info)
{
    info = OSVERSIONINFOEXW{};
    info.dwOSVersionInfoSize = sizeof(info);
    return ::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info)) != FALSE;
}

bool LiveVersion(OSVERSIONINFOW& info)
{
    info = OSVERSIONINFOW{};
    info.dwOSVersionInfoSize = sizeof(info);
    return ::GetVersionExW(&info) != FALSE;
}

EnvironmentProbes::TimeZone LiveTimeZone()
{
    EnvironmentProbes::TimeZone zone;
    ::_tzset();
    const char* daylight = _tzname[1];
    const char* standard = _tzname[0];
    if (daylight != nullptr && *daylight != '\0') {
        zone.name = daylight;
    } else if (standard != nullptr) {
        zone.name = standard;
    }
    zone.offsetWest = _timezone;
    return zone;
}

std::int64_t LiveUpTime(LogCallback callback)
{
    return ReportEnvironment::GetUpTimeSecs(callback);
}

EnvironmentProbes::MemoryStatus LiveMemoryStatus()
{
    using GlobalMemoryStatusExFunction = BOOL(WINAPI*)(LPMEMORYSTATUSEX);
    EnvironmentProbes::MemoryStatus status;
    const auto extended = KernelFunction<GlobalMemoryStatusExFunction>("GlobalMemoryStatusEx");
    if (extended != nullptr) {
        status.extended.dwLength = sizeof(status.extended);
        status.source = extended(&status.extended) ? EnvironmentProbes::MemoryStatus::Source::Extended
                                                   : EnvironmentProbes::MemoryStatus::Source::Failed;
        return status;
    }
    status.basic.dwLength = sizeof(status.basic);
    ::GlobalMemoryStatus(&status.basic);
    status.source = EnvironmentProbes::MemoryStatus::Source::Basic;
    return status;
}

bool LivePrivateUsage(std::uint64_t& bytes)
{
    using GetProcessMemoryInfoFunction = BOOL(WINAPI*)(HANDLE, PPROCESS_MEMORY_COUNTERS, DWORD);
    const unique_module psapi(FilteredLoadLibrary("Psapi.dll"));
    if (!psapi) {
        return false;
    }
    const auto getInfo = reinterpret_cast<GetProcessMemoryInfoFunction>(
        reinterpret_cast<void*>(::GetProcAddress(psapi.get(), "GetProcessMemoryInfo")));
    if (getInfo == nullptr) {
        return false;
    }
    const unique_handle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                                              ::GetCurrentProcessId()));
    if (!process) {
        return false;
    }
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (!getInfo(process.get(), reinterpret_cast<PPROCESS_MEMORY_COUNTERS>(&counters), sizeof(counters))) {
        return false;
    }
    bytes = counters.PrivateUsage;
    return true;
}

EnvironmentProbes::DiskSpace LiveDiskSpace()
{
    using GetDiskFreeSpaceExFunction = BOOL(WINAPI*)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER,
                                                     PULARGE_INTEGER);
    EnvironmentProbes::DiskSpace disk;
    const auto extended = KernelFunction<GetDiskFreeSpaceExFunction>("GetDiskFreeSpaceExW");
    if (extended != nullptr) {
        ULARGE_INTEGER available{};
        ULARGE_INTEGER total{};
        ULARGE_INTEGER totalFree{};
        disk.ok = extended(nullptr, &available, &total, &totalFree) != FALSE;
        disk.totalBytes = total.QuadPart;
        disk.freeBytes = totalFree.QuadPart;
    } else {
        DWORD sectorsPerCluster = 0;
        DWORD bytesPerSector = 0;
        DWORD freeClusters = 0;
        DWORD totalClusters = 0;
        disk.ok = ::GetDiskFreeSpaceW(nullptr, &sectorsPerCluster, &bytesPerSector, &freeClusters,
                                      &totalClusters) != FALSE;
        const std::uint64_t cluster = static_cast<std::uint64_t>(sectorsPerCluster) * bytesPerSector;
        disk.totalBytes = cluster * totalClusters;
        disk.freeBytes = cluster * freeClusters;
    }
    if (!disk.ok) {
        disk.error = ::GetLastError();
        disk.totalBytes = 0;
        disk.freeBytes = 0;
    }
    return disk;
}

EnvironmentProbes::PerformanceBlock LivePerformanceData(const wchar_t* name, DWORD initialSize,
                                                        DWORD growBy)
{
    using Status = EnvironmentProbes::PerformanceBlock::Status;
    EnvironmentProbes::PerformanceBlock block;
    DWORD size = initialSize;
    bool grown = false;
    try {
        block.bytes.assign(size, 0);
    } catch (...) {
        block.status = Status::NoMemory;
        return block;
    }
    for (;;) {
        DWORD type = 0;
        DWORD returned = size;
        const LONG status = ::RegQueryValueExW(HKEY_PERFORMANCE_DATA, name, nullptr, &type,
                                               block.bytes.data(), &returned);
        if (status == ERROR_SUCCESS) {
            block.bytes.resize(std::min(returned, size));
            block.status = Status::Ok;
            break;
        }
        if (status != ERROR_MORE_DATA) {
            block.bytes.clear();
            block.error = status;
            block.status = Status::Failed;
            break;
        }
        if (size > kMaxPerformanceBlock - growBy) {
            block.bytes.clear();
            block.status = Status::NoMemoryToGrow;
            break;
        }
        size += growBy;
        grown = true;
        try {
            block.bytes.assign(size, 0);
        } catch (...) {
            block.bytes.clear();
            block.status = grown ? Status::NoMemoryToGrow : Status::NoMemory;
            break;
        }
    }
    // Reading the performance data opens it; done with it for now.
    ::RegCloseKey(HKEY_PERFORMANCE_DATA);
    return block;
}

EnvironmentProbes::ToolHelp LiveToolHelp()
{
    EnvironmentProbes::ToolHelp help;
    help.createSnapshot = KernelFunction<decltype(help.createSnapshot)>("CreateToolhelp32Snapshot");
    help.first = KernelFunction<decltype(help.first)>("Process32FirstW");
    help.next = KernelFunction<decltype(help.next)>("Process32NextW");
    return help;
}

}  // namespace

DWORD WINAPI live_account::ModuleFileName(HMODULE module, LPWSTR path, DWORD size)
{
    return ::GetModuleFileNameW(module, path, size);
}

BOOL WINAPI live_account::OpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    return ::OpenProcessToken(process, access, token);
}

BOOL WINAPI live_account::TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID buffer,
                                           DWORD size, PDWORD needed)
{
    return ::GetTokenInformation(token, kind, buffer, size, needed);
}

BOOL WINAPI live_account::LookupAccountSid(LPCWSTR system, PSID sid, LPWSTR name, LPDWORD nameSize,
                                           LPWSTR domain, LPDWORD domainSize, PSID_NAME_USE use)
{
    return ::LookupAccountSidW(system, sid, name, nameSize, domain, domainSize, use);
}

namespace {

constexpr EnvironmentProbes MakeLiveProbes() noexcept
{
    EnvironmentProbes probes;
    probes.versionEx = &LiveVersionEx;
    probes.version = &LiveVersion;
    probes.timeZone = &LiveTimeZone;
    probes.upTime = &LiveUpTime;
    probes.memoryStatus = &LiveMemoryStatus;
    probes.privateUsage = &LivePrivateUsage;
    probes.diskSpace = &LiveDiskSpace;
    probes.providers = &provider_list;
    probes.performanceData = &LivePerformanceData;
    probes.toolHelp = &LiveToolHelp;
    return probes;
}

// Constant-initialised: a guarded local static would go through the threads
// runtime, which keeps a record for the calling thread that outlives an
// unloaded DLL.
constexpr EnvironmentProbes kLiveProbes = MakeLiveProbes();

}  // namespace

const EnvironmentProbes& LiveEnvironmentProbes() noexcept
{
    return kLiveProbes;
}

LogContext* ReportEnvironment::Context() noexcept
{
    return &g_reportContext;
}

ReportEnvironment::ReportEnvironment() noexcept
    : ReportEnvironment(&DebugLogLineCallback, LiveEnvironmentProbes())
{
}

ReportEnvironment::ReportEnvironment(LogCallback callback, const EnvironmentProbes& probes) noexcept
    : callback_(callback), startTime_(Now()), probes_(probes)
{
}

ReportEnvironment::~ReportEnvironment() = default;

void ReportEnvironment::ReportEnvironmentVersions() noexcept
{
    try {
        ReportProcessLines();
        ReportSystemInfo();
        ReportWinsockProvider();
        ReportAddresses();
        ReportNameSpaceProviders();
        ReportXmlParser();
        ReportOleDbProviders();
        ReportDataAccess();
        ReportCurrentProcesses();
    } catch (...) {
        // Only allocations of the texts can throw; the report just ends.
    }
}

void ReportEnvironment::ReportProcessLines() noexcept
{
    std::wstring processPath;
    std::wstring account;
    GetServiceInfo(processPath, account);
    WriteLine(callback_, kInfo, kVersions, __LINE__, L"[ENV] Current Process: %s", processPath.c_str());

    wchar_t started[128] = {};
    const __time64_t startTime = startTime_;
    struct tm local {};
    if (::_localtime64_s(&local, &startTime) == 0) {
        std::wcsftime(started, 128, L"%b %d %Y %H:%M:%S", &local);
    }
    const double running = std::difftime(static_cast<std::time_t>(Now()),
                                         static_cast<std::time_t>(startTime_));
    WriteLine(callback_, kInfo, kVersions, __LINE__,
              L"[ENV] Current Process logged on as: %s, Start Time: %s, Uptime (seconds): %.f",
              account.c_str(), started, running);
    WriteLine(callback_, kInfo, kVersions, __LINE__, L"[ENV] Current Process id: %d",
              static_cast<int>(::GetCurrentProcessId()));

    wchar_t host[256] = {};
    DWORD hostSize = 255;
    if (!::GetComputerNameExW(ComputerNameDnsHostname, host, &hostSize)) {
        std::wcscpy(host, L"Unknown");
    }
    OSVERSIONINFOEXW extended{};
    OSVERSIONINFOW basic{};
    if (probes_.versionEx != nullptr && probes_.versionEx(extended)) {
        WriteLine(callback_, kInfo, kVersions, __LINE__,
                  L"[ENV] Computer Host Name: %s, OS Version: %d.%d, Build number %d, ServicePack "
                  L"Major %d, ServicePack Minor %d",
                  host, static_cast<int>(extended.dwMajorVersion),
                  static_cast<int>(extended.dwMinorVersion), static_cast<int>(extended.dwBuildNumber),
                  static_cast<int>(extended.wServicePackMajor),
                  static_cast<int>(extended.wServicePackMinor));
    } else if (probes_.version != nullptr && probes_.version(basic)) {
        WriteLine(callback_, kInfo, kVersions, __LINE__,
                  L"[ENV] Computer Host Name: %s, OS Version: %d.%d, Build number %d", host,
                  static_cast<int>(basic.dwMajorVersion), static_cast<int>(basic.dwMinorVersion),
                  static_cast<int>(basic.dwBuildNumber));
    }
}

void ReportEnvironment::GetServiceInfo(std::wstring& processPath, std::wstring& account) noexcept
{
    try {
        processPath.clear();
        account.clear();
        wchar_t path[MAX_PATH] = {};
        const DWORD length = probes_.account.moduleFileName(nullptr, path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) {
            const SystemErrorText error(::GetLastError());
            WriteLine(callback_, kWarning, kServiceInfo, __LINE__, L"GetModuleFileNameW Error: %s (%d)",
                      error.Text(), static_cast<int>(error.Code()));
            return;
        }
        processPath = path;

        unique_handle token;
        if (!probes_.account.openProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
            const SystemErrorText error(::GetLastError());
            WriteLine(callback_, kError, kServiceInfo, __LINE__, L"OpenProcessToken Error: %s (%d)",
                      error.Text(), static_cast<int>(error.Code()));
            return;
        }
        DWORD size = 0;
        probes_.account.tokenInformation(token.get(), TokenUser, nullptr, 0, &size);
        if (size == 0) {
            const SystemErrorText error(::GetLastError());
            WriteLine(callback_, kError, kServiceInfo, __LINE__, L"GetTokenInformation Error: %s (%d)",
                      error.Text(), static_cast<int>(error.Code()));
            return;
        }
        const std::unique_ptr<BYTE[]> user(new (std::nothrow) BYTE[size]);
        if (!user) {
            WriteLine(callback_, kError, kServiceInfo, __LINE__,
                      L"Cannot allocate buffer for token information");
            return;
        }
        if (!probes_.account.tokenInformation(token.get(), TokenUser, user.get(), size, &size)) {
            const SystemErrorText error(::GetLastError());
            WriteLine(callback_, kError, kServiceInfo, __LINE__, L"GetTokenInformation Error: %s (%d)",
                      error.Text(), static_cast<int>(error.Code()));
            return;
        }
        wchar_t name[1024] = {};
        wchar_t domain[1024] = {};
        DWORD nameSize = 1024;
        DWORD domainSize = 1024;
        SID_NAME_USE use = SidTypeUnknown;
        if (!probes_.account.lookupAccountSid(nullptr, reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid, name,
                                              &nameSize, domain, &domainSize, &use)) {
            const SystemErrorText error(::GetLastError());
            WriteLine(callback_, kError, kServiceInfo, __LINE__, L"LookupAccountSid Error: %s (%d)",
                      error.Text(), static_cast<int>(error.Code()));
            return;
        }
        account = std::wstring(domain) + L"\\" + name;
    } catch (...) {
        account.clear();
    }
}

void ReportEnvironment::ReportSystemInfo() noexcept
{
    try {
        Registry processor(probes_.processorKey);
        if (!processor.Open(false)) {
            WriteLine(callback_, kError, kSystemInfo, __LINE__,
                      L"[ENV] Cannot open CPU config registry key: %s",
                      AnsiToWide(probes_.processorKey).c_str());
            return;
        }
        wchar_t text[100] = {};
        if (processor.ReadString(L"Identifier", text, 100)) {
            WriteLine(callback_, kInfo, kSystemInfo, __LINE__, L"[ENV] Processor Identifier: %s", text);
        }
        if (processor.ReadString(L"VendorIdentifier", text, 100)) {
            WriteLine(callback_, kInfo, kSystemInfo, __LINE__, L"[ENV] Processor Vendor Identifier: %s",
                      text);
        }
        if (processor.ReadString(L"ProcessorNameString", text, 100)) {
            WriteLine(callback_, kInfo, kSystemInfo, __LINE__, L"[ENV] Processor Name String: %s",
                      TrimBlanks(text).c_str());
        }
        std::uint32_t megahertz = 0;
        if (processor.ReadDword(L"~MHz", megahertz)) {
            WriteLine(callback_, kInfo, kSystemInfo, __LINE__, L"[ENV] Processor Speed: %d",
                      static_cast<int>(megahertz));
        }
        processor.Close();

        SYSTEM_INFO system{};
        ::GetSystemInfo(&system);
        WriteLine(callback_, kInfo, kSystemInfo, __LINE__, L"[ENV] Number of Processors: %d",
                  static_cast<int>(system.dwNumberOfProcessors));

        ReportSystemMemoryInfo();

        if (probes_.diskSpace != nullptr) {
            const EnvironmentProbes::DiskSpace disk = probes_.diskSpace();
            if (disk.ok) {
                WriteLine(callback_, kInfo, kSystemInfo, __LINE__,
                          L"[ENV] Total HD bytes: %I64d, Total free bytes = %I64d",
                          static_cast<long long>(disk.totalBytes), static_cast<long long>(disk.freeBytes));
            } else {
                const SystemErrorText error(disk.error);
                WriteLine(callback_, kInfo, kSystemInfo, __LINE__,
                          L"[ENV] Unable to get disk space information: %s (%d)", error.Text(),
                          static_cast<int>(error.Code()));
            }
        }

        const std::int64_t upTime = probes_.upTime != nullptr ? probes_.upTime(callback_) : -1;
        if (upTime <= 0) {
            WriteLine(callback_, kInfo, kSystemInfo, __LINE__,
                      L"[ENV] Could not get System up time information. [%I64d]",
                      static_cast<long long>(upTime));
        } else {
            WriteLine(callback_, kInfo, kSystemInfo, __LINE__,
                      L"[ENV] System up time: %d days %02d hrs %02d mins %02d secs",
                      static_cast<int>(upTime / 86400), static_cast<int>((upTime % 86400) / 3600),
                      static_cast<int>((upTime % 3600) / 60), static_cast<int>(upTime % 60));
        }

        ReportTimeZone();
    } catch (...) {
        // A text allocation failed; the step ends.
    }
}

void ReportEnvironment::ReportTimeZone() noexcept
{
    if (probes_.timeZone == nullptr) {
        return;
    }
    try {
        const EnvironmentProbes::TimeZone zone = probes_.timeZone();
        std::wstring name = AnsiToWide(zone.name.c_str());
        if (name.size() > MAX_PATH - 1) {
            name.resize(MAX_PATH - 1);
        }
        const long west = zone.offsetWest;
        const long magnitude = west < 0 ? -west : west;
        WriteLine(callback_, kInfo, kSystemInfo, __LINE__, L"[ENV] Local Time Zone: %s (GMT%s%02d:%02d)",
                  name.c_str(), west > 0 ? L"-" : L"+", static_cast<int>(magnitude / 3600),
                  static_cast<int>((magnitude / 60) % 60));
    } catch (...) {
        // A text allocation failed; no time-zone line.
    }
}

void ReportEnvironment::ReportSystemMemoryInfo() noexcept
{
    ReportSystemMemoryInfo(callback_, probes_);
}

void ReportEnvironment::ReportSystemMemoryInfo(LogCallback callback,
                                               const EnvironmentProbes& probes) noexcept
{
    using Source = EnvironmentProbes::MemoryStatus::Source;
    if (probes.memoryStatus != nullptr) {
        const EnvironmentProbes::MemoryStatus memory = probes.memoryStatus();
        if (memory.source == Source::Extended) {
            const MEMORYSTATUSEX& m = memory.extended;
            const auto kb = [](DWORDLONG bytes) { return static_cast<long long>(bytes >> 10); };
            WriteLine(callback, kInfo, kMemoryInfo, __LINE__, L"[ENV] %ld percent of memory in use.",
                      static_cast<long>(m.dwMemoryLoad));
            WriteLine(callback, kInfo, kMemoryInfo, __LINE__,
                      L"[ENV] Total size of physical memory: %I64d KB", kb(m.ullTotalPhys));
            WriteLine(callback, kInfo, kMemoryInfo, __LINE__,
                      L"[ENV] Size of physical memory available: %I64d KB", kb(m.ullAvailPhys));
            WriteLine(callback, kInfo, kMemoryInfo, __LINE__,
                      L"[ENV] Size of the committed memory limit: %I64d KB", kb(m.ullTotalPageFile));
            WriteLine(callback, kInfo, kMemoryInfo, __LINE__,
                      L"[ENV] Size of available memory to commit: %I64d KB", kb(m.ullAvailPageFile));
            WriteLine(callback, kInfo, kMemoryInfo, __LINE__,
                      L"[ENV] Total size of the user mode portion of the virtual address space of "
                      L"the ZAN process: %I64d KB",
                      kb(m.ullTotalVirtual));
            WriteLine(callback, kInfo, kMemoryInfo, __LINE__,
                      L"[ENV] Size of unreserved and uncommitted memory in the user mode portion of "
                      L"the virtual address space of the ZAN process: %I64d KB",
                      kb(m.ullAvailVirtual));
        } else if (memory.source == Source::Basic) {
            const MEMORYSTATUS& m = memory.basic;
            const auto kb = [](SIZE_T bytes) { return static_cast<long>(bytes >> 10); };
            WriteLine(callback, kInfo, kMemoryInfo, __LINE__,
                      L"[ENV] Total size of physical memory: %7ld KB", kb(m.dwTotalPhys));
            WriteLine(callback, kInfo, kMemoryInfo, __LINE__,
                      L"[ENV] Size of physical memory available: %7ld KB", kb(m.dwAvailPhys));
            WriteLine(callback, kInfo, kMemoryInfo, __LINE__,
                      L"[ENV] Size of the committed memory limit: %7ld KB", kb(m.dwTotalPageFile));
            WriteLine(callback, kInfo, kMemoryInfo, __LINE__,
                      L"[ENV] Size of available memory to commit: %7ld KB", kb(m.dwAvailPageFile));
            WriteLine(callback, kInfo, kMemoryInfo, __LINE__,
                      L"[ENV] Total size of the user mode portion of the virtual address space of "
                      L"the ZAN process: %7ld KB",
                      kb(m.dwTotalVirtual));
            WriteLine(callback, kInfo, kMemoryInfo, __LINE__,
                      L"[ENV] Size of unreserved and uncommitted memory in the user mode portion of "
                      L"the virtual address space of the ZAN process: %7ld KB",
                      kb(m.dwAvailVirtual));
        }
    }
    std::uint64_t privateBytes = 0;
    if (probes.privateUsage != nullptr && probes.privateUsage(privateBytes)) {
        WriteLine(callback, kInfo, kMemoryInfo, __LINE__,
                  L"[ENV] Size of private memory of the ZAN process: %I64d KB",
                  static_cast<long long>(privateBytes / 1024));
    }
}

std::int64_t ReportEnvironment::GetUpTimeSecs(LogCallback callback) noexcept
{
    return GetUpTimeSecs(callback, LiveEnvironmentProbes());
}

std::int64_t ReportEnvironment::GetUpTimeSecs(LogCallback callback,
                                              const EnvironmentProbes& probes) noexcept
{
    using Status = EnvironmentProbes::PerformanceBlock::Status;
    if (probes.performanceData == nullptr) {
        return -1;
    }
    EnvironmentProbes::PerformanceBlock block;
    try {
        block = probes.performanceData(L"2", kUpTimeBlockSize, kUpTimeBlockGrowth);
    } catch (...) {
        block.status = Status::NoMemory;
    }
    if (block.status != Status::Ok) {
        WriteLine(callback, kInfo, kUpTime, __LINE__,
                  L"[ENV] Error occurred while collecting performance data from the registry for "
                  L"System uptime");
        return -1;
    }
    // The walk checks every length it follows; the guard is for what that
    // cannot foresee. It holds nothing that needs undoing.
    UpTimeWalk walk;
    std::uint32_t code = 0;
    bool completed = false;
    {
        const StructuredExceptionScope scope;
        auto work = [&] { walk = WalkSystemUpTime(block.bytes.data(), block.bytes.size()); };
        completed = CallGuarded(work, &code);
    }
    if (!completed) {
        WriteLine(callback, kInfo, kUpTime, __LINE__,
                  L"[ENV] Exception occurred while collecting performance data from the registry "
                  L"for System uptime");
        return walk.seconds;
    }
    switch (walk.status) {
    case PerformanceWalk::Ok:
        return walk.seconds;
    case PerformanceWalk::BadHeaderLengths:
        WriteLine(callback, kInfo, kUpTime, __LINE__,
                  L"[ENV] Error occurred while collecting performance data from the registry for "
                  L"System uptime (HeaderLength = %d, TotalByteLength = %d)",
                  static_cast<int>(walk.headerLength), static_cast<int>(walk.totalByteLength));
        return -1;
    case PerformanceWalk::CounterMissing:
        return -1;
    case PerformanceWalk::Malformed:
    default:
        WriteLine(callback, kInfo, kUpTime, __LINE__,
                  L"[ENV] Error occurred while collecting performance data from the registry for "
                  L"System uptime");
        return -1;
    }
}

std::int64_t ReportEnvironment::GetSystemStartTime() noexcept
{
    const std::int64_t upTime = probes_.upTime != nullptr ? probes_.upTime(callback_) : -1;
    if (upTime <= 0) {
        return 0;
    }
    return Now() - upTime;
}

void ReportEnvironment::ReportWinsockProvider() noexcept
{
    Registry key("SYSTEM\\CurrentControlSet\\Services\\Tcpip\\ServiceProvider");
    wchar_t path[MAX_PATH] = {};
    ModuleFileVersion version;
    bool found = false;
    if (key.Open(false)) {
        found = key.ReadString(L"ProviderPath", path, MAX_PATH);
        key.Close();
        found = found && GetModuleFileVersion(path, version);
    }
    if (found) {
        WriteLine(callback_, kInfo, kVersions, __LINE__,
                  L"[ENV] TCP/IP provider (Winsock) File Version: %d.%d.%d.%d (%s)",
                  static_cast<int>(version.major), static_cast<int>(version.minor),
                  static_cast<int>(version.build), static_cast<int>(version.revision), path);
    } else {
        WriteLine(callback_, kInfo, kVersions, __LINE__,
                  L"[ENV] Unable to find TCP/IP provider (Winsock) file or read its version information");
    }
}

void ReportEnvironment::ReportAddresses() noexcept
{
    try {
        char host[256] = {};
        if (::gethostname(host, 255) != 0) {
            WriteLine(callback_, kInfo, kVersions, __LINE__, L"[ENV] Unable to provide HostName ");
            return;
        }
        const hostent* entry = ::gethostbyname(host);
        if (entry == nullptr) {
            const SystemErrorText error(::GetLastError());
            WriteLine(callback_, kInfo, kVersions, __LINE__, L"[ENV] HOSTINFO_ERROR : %s (%d)",
                      error.Text(), static_cast<int>(error.Code()));
            return;
        }
        if (entry->h_addrtype != AF_INET || entry->h_length != sizeof(in_addr) ||
            entry->h_addr_list == nullptr) {
            return;
        }
        for (char** address = entry->h_addr_list; *address != nullptr; ++address) {
            in_addr ipv4;
            std::memcpy(&ipv4, *address, sizeof(ipv4));
            const char* dotted = ::inet_ntoa(ipv4);
            WriteLine(callback_, kInfo, kVersions, __LINE__, L"[ENV] Local machine IP Address = %s",
                      AnsiToWide(dotted).c_str());
        }
    } catch (...) {
        // A text allocation failed; the step ends.
    }
}

void ReportEnvironment::ReportNameSpaceProviders() noexcept
{
    try {
        char catalogName[256] = {};
        {
            Registry parameters(probes_.winsockParametersKey);
            if (!parameters.Open(false) ||
                !parameters.ReadString("Current_NameSpace_Catalog", catalogName, 256)) {
                return;
            }
        }
        const std::string catalogPath =
            std::string(probes_.winsockParametersKey) + "\\" + catalogName + "\\Catalog_Entries";
        Registry catalog(catalogPath.c_str());
        std::uint64_t count = 0;
        if (!catalog.Open(false) || !catalog.SubKeyCount(&count)) {
            return;
        }
        const std::size_t visited =
            static_cast<std::size_t>(std::min<std::uint64_t>(count, kMaxNameSpaceEntries));
        for (std::size_t i = 0; i < visited; ++i) {
            Registry entry;
            if (!catalog.OpenSubKey(static_cast<DWORD>(i), entry)) {
                continue;
            }
            wchar_t display[MAX_PATH] = {};
            wchar_t library[MAX_PATH] = {};
            if (!entry.ReadString(L"DisplayString", display, MAX_PATH) ||
                !entry.ReadString(L"LibraryPath", library, MAX_PATH)) {
                continue;
            }
            entry.Close();
            std::wstring expanded;
            ExpandPath(library, expanded);
            ModuleFileVersion version;
            if (GetModuleFileVersion(expanded.c_str(), version)) {
                WriteLine(callback_, kInfo, kVersions, __LINE__,
                          L"[ENV] Winsock2 file: %s, Version: %d.%d.%d.%d (%s)", display,
                          static_cast<int>(version.major), static_cast<int>(version.minor),
                          static_cast<int>(version.build), static_cast<int>(version.revision),
                          expanded.c_str());
            } else {
                WriteLine(callback_, kInfo, kVersions, __LINE__, L"[ENV] Winsock2 file: %s (%s)", display,
                          expanded.c_str());
            }
        }
    } catch (...) {
        // A text allocation failed; the step ends.
    }
}

void ReportEnvironment::ReportXmlParser() noexcept
{
    struct Parser {
        const char* classId;
        const wchar_t* displayName;
    };
    static constexpr Parser kParsers[] = {
        {"{88d96a06-f192-11d4-a65f-0040963251e5}", L"Microsoft XML Parser 6.0"},
        {"{88d969c1-f192-11d4-a65f-0040963251e5}", L"Microsoft XML Parser 4.0"},
        {"{f5078f33-c551-11d3-89b9-0000f81fe221}", L"Microsoft XML Parser 3.0"},
    };
    for (const Parser& parser : kParsers) {
        char keyPath[128] = {};
        std::snprintf(keyPath, sizeof(keyPath), "SOFTWARE\\Classes\\CLSID\\%s\\InprocServer32",
                      parser.classId);
        Registry key(keyPath);
        wchar_t path[MAX_PATH] = {};
        if (!key.Open(false) || !key.ReadString(L"", path, MAX_PATH)) {
            continue;
        }
        key.Close();
        ModuleFileVersion version;
        if (GetModuleFileVersion(path, version)) {
            WriteLine(callback_, kInfo, kVersions, __LINE__, L"[ENV] %s: %s, Version: %d.%d.%d.%d",
                      parser.displayName, path, static_cast<int>(version.major),
                      static_cast<int>(version.minor), static_cast<int>(version.build),
                      static_cast<int>(version.revision));
            return;
        }
    }
    WriteLine(callback_, kInfo, kVersions, __LINE__,
              L"[ENV] Unable to find Microsoft XML Parser Version information");
}

void ReportEnvironment::ReportOleDbProviders() noexcept
{
    if (probes_.providers == nullptr) {
        return;
    }
    try {
        for (const std::wstring& name : probes_.providers(callback_)) {
            if (name.find(L"SQLNCLI") != std::wstring::npos &&
                name.find_first_of(L" \t") == std::wstring::npos) {
                WriteLine(callback_, kInfo, kVersions, __LINE__, L"[ENV] SQLCLI provider is available: [%s]",
                          name.c_str());
            } else if (_wcsicmp(name.c_str(), L"SQLOLEDB") == 0) {
                WriteLine(callback_, kInfo, kVersions, __LINE__,
                          L"[ENV] MSSQL OLEDB provider is available: [%s]", name.c_str());
            }
        }
    } catch (...) {
        // The list could not be had; no provider lines.
    }
}

void ReportEnvironment::ReportDataAccess() noexcept
{
    {
        Registry key("SOFTWARE\\Microsoft\\DataAccess");
        wchar_t version[256] = {};
        if (key.Open(false) && key.ReadString(L"FullInstallVer", version, 256)) {
            key.Close();
            WriteLine(callback_, kInfo, kVersions, __LINE__, L"[ENV] MDAC version: %s", version);
        }
    }
    Registry ado("SOFTWARE\\Classes\\CLSID\\{00000507-0000-0010-8000-00AA006D2EA4}\\InprocServer32");
    if (!ado.Open(false)) {
        return;
    }
    wchar_t path[MAX_PATH] = {};
    const bool read = ado.ReadString(L"", path, MAX_PATH);
    ado.Close();
    ModuleFileVersion version;
    if (read && GetModuleFileVersion(path, version)) {
        WriteLine(callback_, kInfo, kVersions, __LINE__, L"[ENV] MSADO15.DLL: %s, Version: %d.%d.%d.%d", path,
                  static_cast<int>(version.major), static_cast<int>(version.minor),
                  static_cast<int>(version.build), static_cast<int>(version.revision));
    } else {
        WriteLine(callback_, kInfo, kVersions, __LINE__,
                  L"[ENV] Unable to find MSADO15.DLL Version information");
    }
}

void ReportEnvironment::ReportCurrentProcesses() noexcept
{
    const EnvironmentProbes::ToolHelp help =
        probes_.toolHelp != nullptr ? probes_.toolHelp() : EnvironmentProbes::ToolHelp{};
    if (help.createSnapshot == nullptr || help.first == nullptr || help.next == nullptr) {
        ReportCurrentProcessesNT();
        return;
    }
    unique_file snapshot(help.createSnapshot(TH32CS_SNAPALL, 0));
    const StructuredExceptionScope scope;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    bool first = true;
    for (;;) {
        // Only the tool-help calls are guarded: a fault there abandons no
        // frame of ours that owns anything. The lines are written outside.
        BOOL found = FALSE;
        std::uint32_t code = 0;
        auto step = [&] {
            found = first ? help.first(snapshot.get(), &entry) : help.next(snapshot.get(), &entry);
        };
        if (!CallGuarded(step, &code)) {
            if (code != 0) {
                WriteLine(callback_, kError, kProcesses, __LINE__,
                          L"Failed to enumerate processes. Exception code : 0x%X", code);
            } else {
                WriteLine(callback_, kError, kProcesses, __LINE__,
                          L"Failed to enumerate processes. An unknown exception occurred.");
            }
            std::uint32_t closeCode = 0;
            auto close = [&] { snapshot.reset(); };
            if (!CallGuarded(close, &closeCode)) {
                if (closeCode != 0) {
                    WriteLine(callback_, kError, kProcesses, __LINE__,
                              L"Failed to close handle after enumerating processes. Exception code: 0x%X",
                              closeCode);
                } else {
                    WriteLine(callback_, kError, kProcesses, __LINE__,
                              L" Failed to close handle after enumerating processes. An unknown "
                              L"exception occurred.");
                }
                // The owner may still hold the handle; do not close it twice.
                snapshot.release();
            }
            return;
        }
        first = false;
        if (!found) {
            break;
        }
        if (entry.th32ProcessID != 0) {
            wchar_t name[MAX_PATH] = {};
            std::wmemcpy(name, entry.szExeFile, ::wcsnlen(entry.szExeFile, MAX_PATH - 1));
            WriteLine(callback_, kInfo, kProcesses, __LINE__, L"[ENV] Running Process: %s, ID: %u", name,
                      static_cast<unsigned>(entry.th32ProcessID));
        }
    }
}

void ReportEnvironment::ReportCurrentProcessesNT() noexcept
{
    using Status = EnvironmentProbes::PerformanceBlock::Status;
    try {
        char perflibPath[MAX_PATH] = {};
        std::snprintf(perflibPath, sizeof(perflibPath), "%s\\%03x", probes_.perflibKey, 9);
        Registry perflib(perflibPath);
        if (!perflib.Open(false)) {
            WriteLine(callback_, kInfo, kProcessesNT, __LINE__, L"[ENV] Could not open performance registry key!");
            return;
        }
        DWORD listSize = 0;
        if (!perflib.ValueSize(L"Counters", listSize)) {
            WriteLine(callback_, kInfo, kProcessesNT, __LINE__, L"[ENV] Could not open counter registry key!");
            return;
        }
        std::vector<std::wstring> counterTexts;
        try {
            counterTexts.reserve(listSize / sizeof(wchar_t) / 2 + 1);
        } catch (const std::bad_alloc&) {
            WriteLine(callback_, kInfo, kProcessesNT, __LINE__, L"[ENV] Out of Memory!");
            return;
        }
        if (!perflib.ReadMultiString(L"Counters", counterTexts)) {
            WriteLine(callback_, kInfo, kProcessesNT, __LINE__, L"[ENV] Could Not Read the counter Names!");
            return;
        }
        const ProcessCounterIndexes indexes = FindProcessCounters(counterTexts);
        counterTexts = {};

        EnvironmentProbes::PerformanceBlock block;
        if (!indexes.processIndex.empty() && probes_.performanceData != nullptr) {
            block = probes_.performanceData(indexes.processIndex.c_str(), kProcessBlockSize,
                                            kProcessBlockGrowth);
        }
        if (block.status == Status::NoMemory) {
            WriteLine(callback_, kInfo, kProcessesNT, __LINE__, L"[ENV] Out of Memory!");
            return;
        }
        if (block.status == Status::NoMemoryToGrow) {
            WriteLine(callback_, kInfo, kProcessesNT, __LINE__, L"[ENV] Could Not Allocate Performance Data!");
            return;
        }
        std::vector<PerformanceProcess> processes;
        if (block.status != Status::Ok || !indexes.hasIdProcess ||
            WalkProcessInstances(block.bytes.data(), block.bytes.size(), indexes.idProcessIndex,
                                 processes) != PerformanceWalk::Ok) {
            WriteLine(callback_, kInfo, kProcessesNT, __LINE__, L"[ENV] Could Not Obtain Performance Data!");
            return;
        }
        for (const PerformanceProcess& process : processes) {
            WriteLine(callback_, kInfo, kProcessesNT, __LINE__, L"[ENV] Running Process: %s, ID: %u",
                      process.name.c_str(), static_cast<unsigned>(process.id));
        }
    } catch (...) {
        WriteLine(callback_, kInfo, kProcessesNT, __LINE__, L"[ENV] Out of Memory!");
    }
}

bool ReportEnvironment::GetServiceFileVersion(const wchar_t* serviceName, std::wstring& path,
                                              unsigned& major, unsigned& minor, unsigned& build,
                                              unsigned& revision) noexcept
{
    major = minor = build = revision = 0;
    try {
        path.clear();
        if (serviceName == nullptr) {
            return false;
        }
        const unique_service manager(::OpenSCManagerW(nullptr, L"ServicesActive", SC_MANAGER_CONNECT));
        if (!manager) {
            return false;
        }
        const unique_service service(::OpenServiceW(manager.get(), serviceName, SERVICE_QUERY_CONFIG));
        if (!service) {
            return false;
        }
        DWORD needed = 0;
        ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
        if (needed == 0) {
            return false;
        }
        std::vector<BYTE> config(needed);
        auto* const info = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
        if (!::QueryServiceConfigW(service.get(), info, needed, &needed) ||
            info->lpBinaryPathName == nullptr) {
            return false;
        }
        std::wstring binary = info->lpBinaryPathName;
        if (!binary.empty() && binary[0] == L'"') {
            binary.erase(0, 1);
        }
        std::wstring lower = binary;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::towlower);
        const std::size_t exe = lower.find(L".exe");
        if (exe != std::wstring::npos) {
            binary.resize(exe + 4);
        }
        path = binary;
        ModuleFileVersion version;
        if (!GetModuleFileVersion(path.c_str(), version)) {
            return false;
        }
        major = version.major;
        minor = version.minor;
        build = version.build;
        revision = version.revision;
        return true;
    } catch (...) {
        return false;
    }
}
