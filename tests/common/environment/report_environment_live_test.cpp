// The whole report on this machine, as the logger writes it at the top of a
// log file: every "[ENV]" line has its shape, and the steps come in order.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "common/environment/module_version.h"
#include "common/environment/report_environment.h"
#include "common/logger/debug_log_settings.h"
#include "common/logger/debug_logger.h"
#include "common/logger/log_entry_points.h"
#include "file_contents.h"
#include "process_census.h"
#include "scoped_temp_folder.h"

namespace {

// The shapes of every line the report can write, in the order of its steps.
// A step may write several lines of its own shapes, or none where it says
// nothing on a failure; `required` steps must be there on any machine.
struct Step {
    const char* name;
    std::vector<const char*> shapes;
    bool required;
};

// Steps that write exactly one line whatever they find.
const std::vector<std::string> kSingleLineSteps = {
    "process", "account", "process id", "computer", "processors", "disk",
    "up time", "time zone", "tcp/ip provider", "xml parser"};

const std::vector<Step>& Steps()
{
    static const std::vector<Step> steps = {
        {"process", {R"(\[ENV\] Current Process: .*\.exe)"}, true},
        {"account",
         {R"(\[ENV\] Current Process logged on as: .+\\.+, Start Time: [A-Z][a-z]{2} \d{2} \d{4} )"
          R"(\d{2}:\d{2}:\d{2}, Uptime \(seconds\): \d+)"},
         true},
        {"process id", {R"(\[ENV\] Current Process id: \d+)"}, true},
        {"computer",
         {R"(\[ENV\] Computer Host Name: .+, OS Version: \d+\.\d+, Build number \d+(, ServicePack )"
          R"(Major \d+, ServicePack Minor \d+)?)"},
         true},
        {"processor",
         {R"(\[ENV\] Processor Identifier: .*)", R"(\[ENV\] Processor Vendor Identifier: .*)",
          R"(\[ENV\] Processor Name String: (\S.*\S|\S)?)", R"(\[ENV\] Processor Speed: \d+)"},
         false},
        {"processors", {R"(\[ENV\] Number of Processors: [1-9]\d*)"}, true},
        {"memory",
         {R"(\[ENV\] \d+ percent of memory in use\.)",
          R"(\[ENV\] Total size of physical memory: \d+ KB)",
          R"(\[ENV\] Size of physical memory available: \d+ KB)",
          R"(\[ENV\] Size of the committed memory limit: \d+ KB)",
          R"(\[ENV\] Size of available memory to commit: \d+ KB)",
          R"(\[ENV\] Total size of the user mode portion of the virtual address space of the ZAN process: \d+ KB)",
          R"(\[ENV\] Size of unreserved and uncommitted memory in the user mode portion of the virtual address space of the ZAN process: \d+ KB)"},
         true},
        {"private memory", {R"(\[ENV\] Size of private memory of the ZAN process: \d+ KB)"}, true},
        {"disk",
         {R"(\[ENV\] Total HD bytes: \d+, Total free bytes = \d+)",
          R"(\[ENV\] Unable to get disk space information: .* \(\d+\))"},
         true},
        {"up time error",
         {R"(\[ENV\] Error occurred while collecting performance data from the registry for System uptime( \(HeaderLength = \d+, TotalByteLength = \d+\))?)",
          R"(\[ENV\] Exception occurred while collecting performance data from the registry for System uptime)"},
         false},
        {"up time",
         {R"(\[ENV\] System up time: \d+ days \d{2} hrs \d{2} mins \d{2} secs)",
          R"(\[ENV\] Could not get System up time information\. \[-?\d+\])"},
         true},
        {"time zone", {R"(\[ENV\] Local Time Zone: .* \(GMT[-+]\d{2}:\d{2}\))"}, true},
        {"tcp/ip provider",
         {R"(\[ENV\] TCP/IP provider \(Winsock\) File Version: \d+\.\d+\.\d+\.\d+ \(.+\))",
          R"(\[ENV\] Unable to find TCP/IP provider \(Winsock\) file or read its version information)"},
         true},
        {"addresses",
         {R"(\[ENV\] Local machine IP Address = \d+\.\d+\.\d+\.\d+)", R"(\[ENV\] Unable to provide HostName )",
          R"(\[ENV\] HOSTINFO_ERROR : .* \(\d+\))"},
         true},
        {"winsock2",
         {R"(\[ENV\] Winsock2 file: .*, Version: \d+\.\d+\.\d+\.\d+ \(.*\))", R"(\[ENV\] Winsock2 file: .* \(.*\))"},
         false},
        {"xml parser",
         {R"(\[ENV\] Microsoft XML Parser [346]\.0: .+, Version: \d+\.\d+\.\d+\.\d+)",
          R"(\[ENV\] Unable to find Microsoft XML Parser Version information)"},
         true},
        {"ole db",
         {R"(\[ENV\] SQLCLI provider is available: \[SQLNCLI\S*\])",
          R"(\[ENV\] MSSQL OLEDB provider is available: \[[Ss][Qq][Ll][Oo][Ll][Ee][Dd][Bb]\])"},
         false},
        {"mdac", {R"(\[ENV\] MDAC version: .*)"}, false},
        {"ado",
         {R"(\[ENV\] MSADO15\.DLL: .+, Version: \d+\.\d+\.\d+\.\d+)",
          R"(\[ENV\] Unable to find MSADO15\.DLL Version information)"},
         false},
        {"processes",
         // A process that is just starting or ending may have no name yet.
         {R"(\[ENV\] Running Process: .*, ID: [1-9]\d*)", R"(\[ENV\] Could Not Obtain Performance Data!)"},
         true},
    };
    return steps;
}

// The step index of an "[ENV]" text, or -1 when no shape fits.
int StepOf(const std::string& text, std::size_t from)
{
    const std::vector<Step>& steps = Steps();
    for (std::size_t i = from; i < steps.size(); ++i) {
        for (const char* shape : steps[i].shapes) {
            if (std::regex_match(text, std::regex(shape))) {
                return static_cast<int>(i);
            }
        }
    }
    return -1;
}

class WinsockSession {
public:
    WinsockSession() { started_ = ::WSAStartup(MAKEWORD(1, 1), &data_) == 0; }
    ~WinsockSession()
    {
        if (started_) {
            ::WSACleanup();
        }
    }
    bool Started() const { return started_; }

private:
    WSADATA data_{};
    bool started_ = false;
};

// Starts the process-wide logger on a file with the report attached; stops
// it and detaches the report however the test ends.
class LoggerWithReport {
public:
    LoggerWithReport(ReportEnvironment& report, const std::wstring& file)
    {
        logger_ = ProcessDebugLogger();
        if (logger_ == nullptr) {
            return;
        }
        logger_->SetEnvironmentReport([this, &report] {
            ++opens_;
            report.ReportEnvironmentVersions();
        });
        DebugLogSettings settings;
        settings.debugLogLevel = 3;
        settings.consoleLogLevel = -1;
        settings.debugLogSize = 2000000;
        std::snprintf(settings.logFile.get(), DebugLogSettings::kLogFileSize, "%ls", file.c_str());
        started_ = DebugLogStartWithSettings(settings);
    }
    ~LoggerWithReport() { Stop(); }
    void Stop()
    {
        if (logger_ != nullptr) {
            DebugLogStopIfNoSink();
            logger_->SetEnvironmentReport(nullptr);
            logger_ = nullptr;
        }
    }
    bool Started() const { return started_; }
    // How often the logger ran the report: once per file it opened.
    int Opens() const { return opens_; }

private:
    DebugLogger* logger_ = nullptr;
    bool started_ = false;
    int opens_ = 0;
};

// The "[ENV]" texts of a log file, split into runs of the report (each run
// begins with the process line).
std::vector<std::vector<std::string>> ReportRuns(const std::wstring& file)
{
    std::vector<std::vector<std::string>> runs;
    for (const std::string& line : SplitCrLfLines(ReadFileBytes(file))) {
        const std::size_t at = line.find("[ENV] ");
        if (at == std::string::npos) {
            continue;
        }
        const std::string text = line.substr(at);
        if (runs.empty() || text.rfind("[ENV] Current Process: ", 0) == 0) {
            runs.emplace_back();
        }
        runs.back().push_back(text);
    }
    return runs;
}

TEST(ReportEnvironmentLiveTest, TheReportReachesTheLogFileWithEveryStepInOrder)
{
    // The report uses the sockets library without starting it.
    const WinsockSession winsock;
    ASSERT_TRUE(winsock.Started());
    const ScopedTempFolder folder;
    const std::wstring file = folder / L"environment.txt";
    ReportEnvironment report;
    {
        LoggerWithReport logger(report, file);
        ASSERT_TRUE(logger.Started());
        EXPECT_EQ(logger.Opens(), 1);
        logger.Stop();
    }

    // The one run the logger made on its own thread as it opened the file.
    const auto runs = ReportRuns(file);
    ASSERT_EQ(runs.size(), 1u) << ReadFileBytes(file);
    for (const std::vector<std::string>& texts : runs) {
        std::size_t step = 0;
        std::vector<int> seen(Steps().size(), 0);
        for (const std::string& text : texts) {
            const int found = StepOf(text, step);
            ASSERT_GE(found, 0) << "out of order or of no known shape: " << text;
            step = static_cast<std::size_t>(found);
            ++seen[step];
        }
        for (std::size_t i = 0; i < Steps().size(); ++i) {
            const Step& s = Steps()[i];
            if (s.required) {
                EXPECT_GT(seen[i], 0) << "no line of step " << s.name;
            }
            if (std::find(kSingleLineSteps.begin(), kSingleLineSteps.end(), s.name) !=
                kSingleLineSteps.end()) {
                EXPECT_LE(seen[i], 1) << "more than one line of step " << s.name;
            }
        }
        // The account was had on this machine.
        ASSERT_GE(texts.size(), 2u);
        EXPECT_THAT(texts[1], ::testing::Not(::testing::HasSubstr("logged on as: ,")));
    }
}

int g_liveLines = 0;

LogContext* CountLine(std::int32_t, std::int32_t, std::int32_t, std::int32_t, const wchar_t* message,
                      const char*, std::int32_t, LogContext*)
{
    if (message != nullptr) {
        ++g_liveLines;
    }
    return nullptr;
}

// The kernel object name of a handle this process holds, empty when it has none.
std::wstring ObjectName(unsigned value)
{
    using QueryObject = LONG(WINAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    constexpr OBJECT_INFORMATION_CLASS kObjectNameInformation = static_cast<OBJECT_INFORMATION_CLASS>(1);
    alignas(8) BYTE buffer[2048] = {};
    ULONG length = 0;
    if (query == nullptr ||
        query(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)), kObjectNameInformation, buffer,
              sizeof buffer, &length) != 0) {
        return {};
    }
    const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer);
    return name->Buffer != nullptr ? std::wstring(name->Buffer, name->Length / sizeof(wchar_t))
                                   : std::wstring();
}

// The report runs at every log-file open for the life of a service: each run
// must give back every handle and thread its probes took. The first run may
// leave what the system keeps once per process (COM's and the sockets
// library's state, cached registry roots).
TEST(ReportEnvironmentLiveTest, RunAgainTheReportLeavesNoHandleOrThreadBehind)
{
    const WinsockSession winsock;
    ASSERT_TRUE(winsock.Started());
    ReportEnvironment report(&CountLine, LiveEnvironmentProbes());
    report.ReportEnvironmentVersions();
    ASSERT_GT(g_liveLines, 20);

    const ProcessCensus before = ProcessCensus::Take();
    ASSERT_GT(before.handles, 0);
    constexpr int kRuns = 3;
    for (int run = 0; run < kRuns; ++run) {
        report.ReportEnvironmentVersions();
    }
    const ProcessCensus after = ProcessCensus::Take();
    EXPECT_EQ(before.threads, after.threads) << before << "\n" << after;

    // The system's performance data for the System object loads and unloads
    // the platform's print-spooler library, which leaves its named mutex
    // open each time it is loaded; that one is the platform's, any other
    // added handle is the report's.
    int spoolerMutexes = 0;
    for (const auto& [value, access] : after.handleList) {
        const bool held = std::any_of(before.handleList.begin(), before.handleList.end(),
                                      [&](const auto& old) { return old.first == value; });
        if (held) {
            continue;
        }
        const std::wstring name = ObjectName(value);
        if (name.size() >= 24 && name.compare(name.size() - 24, 24, L"\\__WINE_WINSPOOL_MUTEX__") == 0) {
            ++spoolerMutexes;
            continue;
        }
        ADD_FAILURE() << "handle " << std::hex << value << " (access " << access << std::dec << ", name \""
                      << std::string(name.begin(), name.end()) << "\") is left after the report";
    }
    EXPECT_LE(spoolerMutexes, kRuns);
    EXPECT_EQ(after.handles, before.handles + spoolerMutexes) << before << "\n" << after;
}

TEST(ReportEnvironmentLiveTest, AServiceVersionIsReadFromItsExecutable)
{
    ReportEnvironment report;
    std::wstring path;
    unsigned major = 9, minor = 9, build = 9, revision = 9;
    // Its command line carries an argument after the executable.
    ASSERT_TRUE(report.GetServiceFileVersion(L"MSIServer", path, major, minor, build, revision));
    EXPECT_THAT(path, ::testing::EndsWith(L"\\msiexec.exe"));
    ModuleFileVersion expected;
    ASSERT_TRUE(GetModuleFileVersion(path.c_str(), expected));
    EXPECT_EQ(major, expected.major);
    EXPECT_EQ(minor, expected.minor);
    EXPECT_EQ(build, expected.build);
    EXPECT_EQ(revision, expected.revision);
    EXPECT_GT(major + minor + build + revision, 0u);

    // An executable without version information: the path, and zeros.
    EXPECT_FALSE(report.GetServiceFileVersion(L"PlugPlay", path, major, minor, build, revision));
    EXPECT_THAT(path, ::testing::EndsWith(L"\\plugplay.exe"));
    EXPECT_EQ(major + minor + build + revision, 0u);

    major = 9;
    EXPECT_FALSE(report.GetServiceFileVersion(L"NoSuchRouterService", path, major, minor, build, revision));
    EXPECT_EQ(path, L"");
    EXPECT_EQ(major, 0u);
}

TEST(ModuleVersionTest, ALoadedModuleIsReadFromItsOwnPath)
{
    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(::GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::wstring full = std::wstring(system) + L"\\kernel32.dll";
    ModuleFileVersion byName;
    ModuleFileVersion byPath;
    ASSERT_TRUE(GetModuleFileVersion(L"kernel32.dll", byName));
    ASSERT_TRUE(GetModuleFileVersion(full.c_str(), byPath));
    EXPECT_GT(byName.major, 0u);
    EXPECT_EQ(byName.major, byPath.major);
    EXPECT_EQ(byName.minor, byPath.minor);
    EXPECT_EQ(byName.build, byPath.build);
    EXPECT_EQ(byName.revision, byPath.revision);

    ModuleFileVersion expanded;
    ASSERT_TRUE(GetModuleFileVersion(L"%SystemRoot%\\system32\\version.dll", expanded));
    EXPECT_GT(expanded.major, 0u);

    ModuleFileVersion missing{1, 2, 3, 4};
    EXPECT_FALSE(GetModuleFileVersion(L"%SystemRoot%\\no-such-router-file.dll", missing));
    EXPECT_EQ(missing.major + missing.minor + missing.build + missing.revision, 0u);
}

TEST(ModuleVersionTest, PathsAreExpandedAndMadeFull)
{
    std::wstring out = L"stale";
    EXPECT_FALSE(ExpandPath(nullptr, out));
    EXPECT_EQ(out, L"");
    EXPECT_FALSE(ExpandPath(L"", out));

    wchar_t root[MAX_PATH] = {};
    ASSERT_GT(::GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH), 0u);
    ASSERT_TRUE(ExpandPath(L"%SystemRoot%\\system32", out));
    EXPECT_EQ(out, std::wstring(root) + L"\\system32");

    wchar_t current[MAX_PATH] = {};
    ASSERT_GT(::GetCurrentDirectoryW(MAX_PATH, current), 0u);
    std::wstring base = current;
    if (base.back() != L'\\') {
        base += L'\\';
    }
    ASSERT_TRUE(ExpandPath(L".\\plugin.dll", out));
    EXPECT_EQ(out, base + L"plugin.dll");

    ASSERT_TRUE(ExpandPath(L"relative\\plugin.dll", out));
    EXPECT_EQ(out, L"relative\\plugin.dll");
}

}  // namespace
