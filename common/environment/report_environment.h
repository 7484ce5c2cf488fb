#pragma once

// The "[ENV]" report: process, account, computer, operating system,
// processor, memory, disk, up time, time zone, network, data-access
// components and running processes, one line per callback call. The debug
// logger runs it at the top of every log file it opens.

#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/util/log_callback.h"

// The system calls that find the process's executable and account; a test
// puts a failing one in place of one of them.
namespace live_account {
DWORD WINAPI ModuleFileName(HMODULE module, LPWSTR path, DWORD size);
BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL WINAPI TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID buffer, DWORD size,
                             PDWORD needed);
BOOL WINAPI LookupAccountSid(LPCWSTR system, PSID sid, LPWSTR name, LPDWORD nameSize, LPWSTR domain,
                             LPDWORD domainSize, PSID_NAME_USE use);
}  // namespace live_account

// The facts a running system decides and a test cannot steer, each reached
// through one function so that the report's formatting can be run on fixed
// inputs. LiveEnvironmentProbes() asks the system.
struct EnvironmentProbes {
    struct MemoryStatus {
        // Extended: the extended call exists and answered; Basic: it is not
        // exported, the basic status answered; Failed: the extended call failed.
        enum class Source { Extended, Basic, Failed } source = Source::Failed;
        MEMORYSTATUSEX extended{};
        MEMORYSTATUS basic{};
    };
    struct DiskSpace {
        bool ok = false;
        DWORD error = 0;  // the system status when not ok
        std::uint64_t totalBytes = 0;
        std::uint64_t freeBytes = 0;
    };
    struct TimeZone {
        std::string name;      // ANSI code page
        long offsetWest = 0;   // seconds west of UTC
    };
    struct ToolHelp {
        // Null when the kernel does not export them.
        HANDLE(WINAPI* createSnapshot)(DWORD flags, DWORD processId) = nullptr;
        BOOL(WINAPI* first)(HANDLE snapshot, PROCESSENTRY32W* entry) = nullptr;
        BOOL(WINAPI* next)(HANDLE snapshot, PROCESSENTRY32W* entry) = nullptr;
    };
    struct PerformanceBlock {
        enum class Status { Ok, NoMemory, NoMemoryToGrow, Failed } status = Status::Failed;
        LONG error = 0;            // the registry's answer when Failed
        std::vector<BYTE> bytes;   // as many as the registry returned
    };

    struct AccountCalls {
        DWORD(WINAPI* moduleFileName)(HMODULE, LPWSTR, DWORD) = &live_account::ModuleFileName;
        BOOL(WINAPI* openProcessToken)(HANDLE, DWORD, PHANDLE) = &live_account::OpenProcessToken;
        BOOL(WINAPI* tokenInformation)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD,
                                       PDWORD) = &live_account::TokenInformation;
        BOOL(WINAPI* lookupAccountSid)(LPCWSTR, PSID, LPWSTR, LPDWORD, LPWSTR, LPDWORD,
                                       PSID_NAME_USE) = &live_account::LookupAccountSid;
    };

    AccountCalls account;
    bool (*versionEx)(OSVERSIONINFOEXW& info) = nullptr;
    bool (*version)(OSVERSIONINFOW& info) = nullptr;
    TimeZone (*timeZone)() = nullptr;
    std::int64_t (*upTime)(LogCallback callback) = nullptr;
    MemoryStatus (*memoryStatus)() = nullptr;
    // The own process's private bytes; false when Psapi cannot tell.
    bool (*privateUsage)(std::uint64_t& bytes) = nullptr;
    DiskSpace (*diskSpace)() = nullptr;
    std::vector<std::wstring> (*providers)(LogCallback callback) = nullptr;
    // The value `name` of HKEY_PERFORMANCE_DATA, read into `initialSize`
    // bytes first and grown by `growBy` while the registry asks for more.
    PerformanceBlock (*performanceData)(const wchar_t* name, DWORD initialSize, DWORD growBy) = nullptr;
    ToolHelp (*toolHelp)() = nullptr;
    // Keys below HKEY_LOCAL_MACHINE. The counter names are read from the
    // English (009) subkey of the perflib key.
    const char* processorKey = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
    const char* perflibKey = "software\\microsoft\\windows nt\\currentversion\\perflib";
    const char* winsockParametersKey = "SYSTEM\\CurrentControlSet\\Services\\Winsock2\\Parameters";
};

const EnvironmentProbes& LiveEnvironmentProbes() noexcept;

class ReportEnvironment {
public:
    // Lines go to the logger's line callback; the start time is now.
    ReportEnvironment() noexcept;
    ReportEnvironment(LogCallback callback, const EnvironmentProbes& probes) noexcept;
    virtual ~ReportEnvironment();

    ReportEnvironment(const ReportEnvironment&) = delete;
    ReportEnvironment& operator=(const ReportEnvironment&) = delete;

    // The whole report, in its fixed order.
    void ReportEnvironmentVersions() noexcept;
    // Processor, memory, disk, up time and time zone.
    void ReportSystemInfo() noexcept;
    void ReportSystemMemoryInfo() noexcept;
    // Without an object: the memory lines through `callback`.
    static void ReportSystemMemoryInfo(LogCallback callback,
                                       const EnvironmentProbes& probes = LiveEnvironmentProbes()) noexcept;
    // Seconds since the system started, or -1; failures go to `callback`.
    static std::int64_t GetUpTimeSecs(LogCallback callback) noexcept;
    static std::int64_t GetUpTimeSecs(LogCallback callback, const EnvironmentProbes& probes) noexcept;
    void ReportCurrentProcesses() noexcept;
    void ReportCurrentProcessesNT() noexcept;
    // The process's executable path and its account as "domain\name";
    // either stays empty when it cannot be had.
    void GetServiceInfo(std::wstring& processPath, std::wstring& account) noexcept;
    // Now less the up time, in seconds since 1970; 0 without an up time.
    std::int64_t GetSystemStartTime() noexcept;
    // The executable of a service, cut after the first ".exe", and its
    // file version.
    bool GetServiceFileVersion(const wchar_t* serviceName, std::wstring& path, unsigned& major,
                               unsigned& minor, unsigned& build, unsigned& revision) noexcept;

    std::int64_t StartTime() const noexcept { return startTime_; }
    // The record passed with every line, one for the whole process.
    static LogContext* Context() noexcept;

private:
    void ReportProcessLines() noexcept;
    void ReportTimeZone() noexcept;
    void ReportWinsockProvider() noexcept;
    void ReportAddresses() noexcept;
    void ReportNameSpaceProviders() noexcept;
    void ReportXmlParser() noexcept;
    void ReportOleDbProviders() noexcept;
    void ReportDataAccess() noexcept;

    LogCallback callback_;
    std::int64_t startTime_;
    EnvironmentProbes probes_;
};
