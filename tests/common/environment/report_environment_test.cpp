// The environment report's lines on fixed inputs: the probes a live system
// decides come from fakes, the processor and counter-name keys from private
// registry keys, and every line is recorded as the callback receives it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <windows.h>
#include <winperf.h>

#include <cstring>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/environment/performance_data.h"
#include "common/environment/report_environment.h"
#include "common/util/system_error_text.h"
#include "scoped_registry_key.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr const char* kSystemInfo = "ReportEnvironment::ReportSystemInfo";
constexpr const char* kMemoryInfo = "ReportEnvironment::ReportSystemMemoryInfo";
constexpr const char* kUpTime = "GetUpTimeSecs";
constexpr const char* kProcesses = "ReportEnvironment::ReportCurrentProcesses";
constexpr const char* kProcessesNT = "ReportEnvironment::ReportCurrentProcessesNT";

struct RecordedLine {
    std::int32_t level;
    std::int32_t reserved[3];
    std::wstring text;
    std::string function;
    std::int32_t line;
    LogContext* context;
};

std::vector<RecordedLine> g_lines;

LogContext* RecordLine(std::int32_t level, std::int32_t reserved1, std::int32_t reserved2,
                       std::int32_t reserved3, const wchar_t* message, const char* function,
                       std::int32_t line, LogContext* context)
{
    g_lines.push_back(RecordedLine{level, {reserved1, reserved2, reserved3}, message, function, line, context});
    return nullptr;
}

// What the fakes answer, and how often each was asked.
struct ProbeCalls {
    int versionEx = 0;
    int timeZone = 0;
    int upTime = 0;
    int memoryStatus = 0;
    int privateUsage = 0;
    int diskSpace = 0;
    int providers = 0;
    int performanceData = 0;
    int toolHelp = 0;
    bool operator==(const ProbeCalls& o) const
    {
        return versionEx == o.versionEx && timeZone == o.timeZone && upTime == o.upTime &&
               memoryStatus == o.memoryStatus && privateUsage == o.privateUsage &&
               diskSpace == o.diskSpace && providers == o.providers &&
               performanceData == o.performanceData && toolHelp == o.toolHelp;
    }
};

enum class WalkFault { None, Fault, Throw };

struct FakeSystem {
    ProbeCalls calls;
    EnvironmentProbes::TimeZone timeZone{"Fixed Standard Time", 0};
    std::int64_t upTime = 90061;
    EnvironmentProbes::MemoryStatus memory;
    bool hasPrivateUsage = true;
    std::uint64_t privateBytes = 3u << 20;
    EnvironmentProbes::DiskSpace disk{true, 0, 1ull << 40, 1ull << 39};
    std::vector<std::wstring> providers;
    EnvironmentProbes::PerformanceBlock block;
    std::wstring performanceName;
    bool hasToolHelp = true;
    std::vector<PROCESSENTRY32W> processes;
    std::size_t nextProcess = 0;
    WalkFault fault = WalkFault::None;
};

FakeSystem g_fake;

int* volatile g_nowhere = nullptr;

PROCESSENTRY32W Process(DWORD id, const wchar_t* name)
{
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    entry.th32ProcessID = id;
    wcscpy_s(entry.szExeFile, name);
    return entry;
}

BOOL WINAPI FakeProcessNext(HANDLE, PROCESSENTRY32W* entry)
{
    if (g_fake.nextProcess >= g_fake.processes.size()) {
        switch (g_fake.fault) {
        case WalkFault::Fault:
            *g_nowhere = 1;
            break;
        case WalkFault::Throw:
            throw std::runtime_error("walk");
        case WalkFault::None:
            break;
        }
        ::SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    *entry = g_fake.processes[g_fake.nextProcess++];
    return TRUE;
}

BOOL WINAPI FakeProcessFirst(HANDLE snapshot, PROCESSENTRY32W* entry)
{
    g_fake.nextProcess = 0;
    return FakeProcessNext(snapshot, entry);
}

HANDLE WINAPI FakeSnapshot(DWORD, DWORD)
{
    // A real handle, so that closing it is a real close.
    return ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

EnvironmentProbes FakeProbes()
{
    EnvironmentProbes probes;
    probes.versionEx = [](OSVERSIONINFOEXW& info) {
        ++g_fake.calls.versionEx;
        info = OSVERSIONINFOEXW{};
        info.dwMajorVersion = 6;
        info.dwMinorVersion = 1;
        info.dwBuildNumber = 7601;
        info.wServicePackMajor = 1;
        return true;
    };
    probes.version = [](OSVERSIONINFOW&) { return false; };
    probes.timeZone = [] {
        ++g_fake.calls.timeZone;
        return g_fake.timeZone;
    };
    probes.upTime = [](LogCallback) {
        ++g_fake.calls.upTime;
        return g_fake.upTime;
    };
    probes.memoryStatus = [] {
        ++g_fake.calls.memoryStatus;
        return g_fake.memory;
    };
    probes.privateUsage = [](std::uint64_t& bytes) {
        ++g_fake.calls.privateUsage;
        bytes = g_fake.privateBytes;
        return g_fake.hasPrivateUsage;
    };
    probes.diskSpace = [] {
        ++g_fake.calls.diskSpace;
        return g_fake.disk;
    };
    probes.providers = [](LogCallback) {
        ++g_fake.calls.providers;
        return g_fake.providers;
    };
    probes.performanceData = [](const wchar_t* name, DWORD, DWORD) {
        ++g_fake.calls.performanceData;
        g_fake.performanceName = name;
        return g_fake.block;
    };
    probes.toolHelp = [] {
        ++g_fake.calls.toolHelp;
        EnvironmentProbes::ToolHelp help;
        if (g_fake.hasToolHelp) {
            help.createSnapshot = &FakeSnapshot;
            help.first = &FakeProcessFirst;
            help.next = &FakeProcessNext;
        }
        return help;
    };
    return probes;
}

MEMORYSTATUSEX ExtendedMemory()
{
    MEMORYSTATUSEX m{};
    m.dwLength = sizeof(m);
    m.dwMemoryLoad = 42;
    m.ullTotalPhys = 16ull << 30;
    m.ullAvailPhys = 8ull << 30;
    m.ullTotalPageFile = 20ull << 30;
    m.ullAvailPageFile = 10ull << 30;
    m.ullTotalVirtual = 128ull << 40;
    m.ullAvailVirtual = 127ull << 40;
    return m;
}

// Performance-data blocks built field by field.
class BlockBuilder {
public:
    template <typename T>
    std::size_t Add(const T& value)
    {
        const std::size_t at = bytes_.size();
        bytes_.resize(at + sizeof(T));
        std::memcpy(bytes_.data() + at, &value, sizeof(T));
        return at;
    }
    void AddName(const std::wstring& name)
    {
        for (wchar_t c : name) {
            Add(c);
        }
        Add(L'\0');
        while (bytes_.size() % 8 != 0) {
            bytes_.push_back(0);
        }
    }
    template <typename T>
    T& At(std::size_t offset)
    {
        return *reinterpret_cast<T*>(bytes_.data() + offset);
    }
    std::size_t Size() const { return bytes_.size(); }
    std::vector<BYTE> Bytes() const { return bytes_; }

private:
    std::vector<BYTE> bytes_;
};

PERF_DATA_BLOCK DataBlockHeader()
{
    PERF_DATA_BLOCK header{};
    std::wmemcpy(header.Signature, L"PERF", 4);
    header.HeaderLength = sizeof(PERF_DATA_BLOCK);
    header.NumObjectTypes = 1;
    return header;
}

PERF_COUNTER_DEFINITION Counter(DWORD nameIndex, DWORD offset, DWORD size)
{
    PERF_COUNTER_DEFINITION counter{};
    counter.ByteLength = sizeof(counter);
    counter.CounterNameTitleIndex = nameIndex;
    counter.CounterSize = size;
    counter.CounterOffset = offset;
    return counter;
}

constexpr LONGLONG kFrequency = 10000000;
constexpr LONGLONG kBootStamp = 123456789;

// The system object: no instances, two counters, up time second.
std::vector<BYTE> SystemBlock(std::int64_t upSeconds, DWORD upTimeIndex = kSystemUpTimeCounter)
{
    BlockBuilder b;
    const std::size_t header = b.Add(DataBlockHeader());
    PERF_OBJECT_TYPE object{};
    object.HeaderLength = sizeof(PERF_OBJECT_TYPE);
    object.DefinitionLength = sizeof(PERF_OBJECT_TYPE) + 2 * sizeof(PERF_COUNTER_DEFINITION);
    object.ObjectNameTitleIndex = 2;
    object.NumCounters = 2;
    object.NumInstances = PERF_NO_INSTANCES;
    object.PerfTime.QuadPart = kBootStamp + upSeconds * kFrequency;
    object.PerfFreq.QuadPart = kFrequency;
    const std::size_t objectAt = b.Add(object);
    b.Add(Counter(44, 8, 4));
    b.Add(Counter(upTimeIndex, 16, 8));
    PERF_COUNTER_BLOCK counters{};
    counters.ByteLength = 24;
    b.Add(counters);
    b.Add(static_cast<DWORD>(0));
    b.Add(static_cast<DWORD>(7));
    b.Add(static_cast<DWORD>(0));
    b.Add(static_cast<LONGLONG>(kBootStamp));
    b.At<PERF_OBJECT_TYPE>(objectAt).TotalByteLength = static_cast<DWORD>(b.Size() - objectAt);
    b.At<PERF_DATA_BLOCK>(header).TotalByteLength = static_cast<DWORD>(b.Size());
    return b.Bytes();
}

constexpr DWORD kIdProcess = 784;

// The process object: `count` instances, each with a name and its id.
std::vector<BYTE> ProcessBlock(const std::vector<PerformanceProcess>& processes,
                               LONG reportedInstances)
{
    BlockBuilder b;
    const std::size_t header = b.Add(DataBlockHeader());
    PERF_OBJECT_TYPE object{};
    object.HeaderLength = sizeof(PERF_OBJECT_TYPE);
    object.DefinitionLength = sizeof(PERF_OBJECT_TYPE) + 2 * sizeof(PERF_COUNTER_DEFINITION);
    object.ObjectNameTitleIndex = 230;
    object.NumCounters = 2;
    object.NumInstances = reportedInstances;
    const std::size_t objectAt = b.Add(object);
    b.Add(Counter(6, 8, 8));
    b.Add(Counter(kIdProcess, 16, 4));
    for (const PerformanceProcess& process : processes) {
        PERF_INSTANCE_DEFINITION instance{};
        instance.NameOffset = sizeof(PERF_INSTANCE_DEFINITION);
        instance.NameLength = static_cast<DWORD>((process.name.size() + 1) * sizeof(wchar_t));
        const std::size_t instanceAt = b.Add(instance);
        b.AddName(process.name);
        b.At<PERF_INSTANCE_DEFINITION>(instanceAt).ByteLength = static_cast<DWORD>(b.Size() - instanceAt);
        PERF_COUNTER_BLOCK counters{};
        counters.ByteLength = 24;
        b.Add(counters);
        b.Add(static_cast<DWORD>(0));
        b.Add(static_cast<LONGLONG>(5));
        b.Add(process.id);
        b.Add(static_cast<DWORD>(0));
    }
    b.At<PERF_OBJECT_TYPE>(objectAt).TotalByteLength = static_cast<DWORD>(b.Size() - objectAt);
    b.At<PERF_DATA_BLOCK>(header).TotalByteLength = static_cast<DWORD>(b.Size());
    return b.Bytes();
}

// A copy of a block that ends where readable memory ends: a read past its
// size faults instead of going unnoticed.
class GuardedCopy {
public:
    explicit GuardedCopy(const std::vector<BYTE>& bytes, std::size_t size)
    {
        const std::size_t pages = size / 4096 + 2;
        base_ = static_cast<BYTE*>(::VirtualAlloc(nullptr, pages * 4096, MEM_COMMIT | MEM_RESERVE,
                                                  PAGE_READWRITE));
        DWORD old = 0;
        ::VirtualProtect(base_ + (pages - 1) * 4096, 4096, PAGE_NOACCESS, &old);
        data_ = base_ + (pages - 1) * 4096 - size;
        std::memcpy(data_, bytes.data(), size);
    }
    ~GuardedCopy() { ::VirtualFree(base_, 0, MEM_RELEASE); }
    GuardedCopy(const GuardedCopy&) = delete;
    GuardedCopy& operator=(const GuardedCopy&) = delete;
    const BYTE* Data() const { return data_; }

private:
    BYTE* base_ = nullptr;
    BYTE* data_ = nullptr;
};

class ReportEnvironmentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_lines.clear();
        g_fake = FakeSystem{};
        g_fake.memory.source = EnvironmentProbes::MemoryStatus::Source::Extended;
        g_fake.memory.extended = ExtendedMemory();
        g_fake.processes = {Process(0, L"[System Process]"), Process(4, L"System"),
                            Process(1234, L"router.exe")};
        cpu_.CreateSubKey("");
        cpu_.SetString("", "Identifier", "Intel64 Family 6 Model 85 Stepping 7");
        cpu_.SetString("", "VendorIdentifier", "GenuineIntel");
        cpu_.SetString("", "ProcessorNameString", " \tIntel(R) Xeon(R) Gold 6230 \t ");
        cpu_.SetDword("", "~MHz", 2095);
        probes_ = FakeProbes();
        probes_.processorKey = cpu_.Path().c_str();
        perflibKey_ = counters_.Path();
        probes_.perflibKey = perflibKey_.c_str();
    }

    void SetCounterNames(const std::string& multiString)
    {
        counters_.CreateSubKey("009");
        counters_.SetValue("009", "Counters", REG_MULTI_SZ, multiString.data(),
                           static_cast<DWORD>(multiString.size()));
    }

    static std::vector<std::wstring> Texts(const char* function = nullptr)
    {
        std::vector<std::wstring> texts;
        for (const RecordedLine& line : g_lines) {
            if (function == nullptr || line.function == function) {
                texts.push_back(line.text);
            }
        }
        return texts;
    }

    static std::vector<std::wstring> TextsStartingWith(const std::wstring& prefix)
    {
        std::vector<std::wstring> texts;
        for (const RecordedLine& line : g_lines) {
            if (line.text.rfind(prefix, 0) == 0) {
                texts.push_back(line.text);
            }
        }
        return texts;
    }

    ScopedRegistryKey cpu_{HKEY_LOCAL_MACHINE};
    ScopedRegistryKey counters_{HKEY_LOCAL_MACHINE};
    std::string perflibKey_;
    EnvironmentProbes probes_;
};

TEST_F(ReportEnvironmentTest, SystemInfoWritesItsLinesInOrderFromTheProbes)
{
    g_fake.timeZone = {"Eastern Standard Time", 18000};
    ReportEnvironment report(&RecordLine, probes_);
    report.ReportSystemInfo();

    const std::vector<std::wstring> texts = Texts();
    ASSERT_EQ(texts.size(), 16u);
    EXPECT_EQ(texts[0], L"[ENV] Processor Identifier: Intel64 Family 6 Model 85 Stepping 7");
    EXPECT_EQ(texts[1], L"[ENV] Processor Vendor Identifier: GenuineIntel");
    EXPECT_EQ(texts[2], L"[ENV] Processor Name String: Intel(R) Xeon(R) Gold 6230");
    EXPECT_EQ(texts[3], L"[ENV] Processor Speed: 2095");
    SYSTEM_INFO system{};
    ::GetSystemInfo(&system);
    EXPECT_EQ(texts[4], L"[ENV] Number of Processors: " + std::to_wstring(system.dwNumberOfProcessors));
    EXPECT_EQ(texts[5], L"[ENV] 42 percent of memory in use.");
    EXPECT_EQ(texts[6], L"[ENV] Total size of physical memory: 16777216 KB");
    EXPECT_EQ(texts[7], L"[ENV] Size of physical memory available: 8388608 KB");
    EXPECT_EQ(texts[8], L"[ENV] Size of the committed memory limit: 20971520 KB");
    EXPECT_EQ(texts[9], L"[ENV] Size of available memory to commit: 10485760 KB");
    EXPECT_EQ(texts[10], L"[ENV] Total size of the user mode portion of the virtual address space of "
                         L"the ZAN process: 137438953472 KB");
    EXPECT_EQ(texts[11], L"[ENV] Size of unreserved and uncommitted memory in the user mode portion of "
                         L"the virtual address space of the ZAN process: 136365211648 KB");
    EXPECT_EQ(texts[12], L"[ENV] Size of private memory of the ZAN process: 3072 KB");
    EXPECT_EQ(texts[13], L"[ENV] Total HD bytes: 1099511627776, Total free bytes = 549755813888");
    EXPECT_EQ(texts[14], L"[ENV] System up time: 1 days 01 hrs 01 mins 01 secs");
    EXPECT_EQ(texts[15], L"[ENV] Local Time Zone: Eastern Standard Time (GMT-05:00)");

    for (std::size_t i = 0; i < g_lines.size(); ++i) {
        const RecordedLine& line = g_lines[i];
        EXPECT_EQ(line.level, 3) << i;
        EXPECT_EQ(line.function, (i >= 5 && i <= 12) ? kMemoryInfo : kSystemInfo) << i;
        EXPECT_THAT(line.reserved, ElementsAre(0, 0, 0)) << i;
        EXPECT_GT(line.line, 0) << i;
        EXPECT_EQ(line.context, ReportEnvironment::Context()) << i;
    }
    EXPECT_EQ(ReportEnvironment::Context()->marker, 51);
}

TEST_F(ReportEnvironmentTest, TimeZoneOffsetsWestOfUtcReadAsGmtMinus)
{
    const struct {
        long offsetWest;
        const wchar_t* expected;
    } cases[] = {
        {18000, L"[ENV] Local Time Zone: Zone (GMT-05:00)"},
        {-19800, L"[ENV] Local Time Zone: Zone (GMT+05:30)"},
        {0, L"[ENV] Local Time Zone: Zone (GMT+00:00)"},
    };
    for (const auto& c : cases) {
        g_lines.clear();
        g_fake.timeZone = {"Zone", c.offsetWest};
        ReportEnvironment report(&RecordLine, probes_);
        report.ReportSystemInfo();
        EXPECT_THAT(TextsStartingWith(L"[ENV] Local Time Zone:"), ElementsAre(c.expected)) << c.offsetWest;
    }
}

TEST_F(ReportEnvironmentTest, UpTimeIsSplitIntoDaysHoursMinutesAndSeconds)
{
    const struct {
        std::int64_t seconds;
        const wchar_t* expected;
    } cases[] = {
        {90061, L"[ENV] System up time: 1 days 01 hrs 01 mins 01 secs"},
        {86399, L"[ENV] System up time: 0 days 23 hrs 59 mins 59 secs"},
        {0, L"[ENV] Could not get System up time information. [0]"},
        {-1, L"[ENV] Could not get System up time information. [-1]"},
    };
    for (const auto& c : cases) {
        g_lines.clear();
        g_fake.upTime = c.seconds;
        ReportEnvironment report(&RecordLine, probes_);
        report.ReportSystemInfo();
        EXPECT_EQ(TextsStartingWith(L"[ENV] System up time").size() +
                      TextsStartingWith(L"[ENV] Could not get System up time").size(),
                  1u);
        EXPECT_EQ(Texts()[14], c.expected) << c.seconds;
    }
}

TEST_F(ReportEnvironmentTest, ProcessorNameStringLosesItsBlanks)
{
    const struct {
        const char* stored;
        const wchar_t* expected;
    } cases[] = {
        {"  \t AMD EPYC 7763 64-Core Processor \t  ", L"[ENV] Processor Name String: AMD EPYC 7763 64-Core Processor"},
        {"Inner  \t blanks stay", L"[ENV] Processor Name String: Inner  \t blanks stay"},
        {" \t \t ", L"[ENV] Processor Name String: "},
    };
    for (const auto& c : cases) {
        g_lines.clear();
        cpu_.SetString("", "ProcessorNameString", c.stored);
        ReportEnvironment report(&RecordLine, probes_);
        report.ReportSystemInfo();
        EXPECT_THAT(TextsStartingWith(L"[ENV] Processor Name String:"), ElementsAre(c.expected)) << c.stored;
    }
}

TEST_F(ReportEnvironmentTest, MissingProcessorValuesWriteNoLineOfTheirOwn)
{
    ScopedRegistryKey bare(HKEY_LOCAL_MACHINE);
    bare.CreateSubKey("");
    probes_.processorKey = bare.Path().c_str();
    ReportEnvironment report(&RecordLine, probes_);
    report.ReportSystemInfo();
    EXPECT_THAT(TextsStartingWith(L"[ENV] Processor"), IsEmpty());
    EXPECT_EQ(TextsStartingWith(L"[ENV] Number of Processors:").size(), 1u);
}

TEST_F(ReportEnvironmentTest, AMissingProcessorKeyEndsTheSystemStepAfterOneLine)
{
    const std::string missing = cpu_ / "absent";
    probes_.processorKey = missing.c_str();
    g_fake.providers = {L"SQLNCLI10"};
    ReportEnvironment report(&RecordLine, probes_);
    report.ReportEnvironmentVersions();

    std::vector<const RecordedLine*> systemLines;
    for (const RecordedLine& line : g_lines) {
        if (line.function == kSystemInfo) {
            systemLines.push_back(&line);
        }
    }
    ASSERT_EQ(systemLines.size(), 1u);
    EXPECT_EQ(systemLines[0]->level, 1);
    EXPECT_EQ(systemLines[0]->text,
              L"[ENV] Cannot open CPU config registry key: " + std::wstring(missing.begin(), missing.end()));
    EXPECT_THAT(Texts(kMemoryInfo), IsEmpty());
    EXPECT_EQ(g_fake.calls.memoryStatus, 0);
    EXPECT_EQ(g_fake.calls.privateUsage, 0);
    EXPECT_EQ(g_fake.calls.diskSpace, 0);
    EXPECT_EQ(g_fake.calls.upTime, 0);
    EXPECT_EQ(g_fake.calls.timeZone, 0);
    // The steps after it still run: providers and processes.
    EXPECT_EQ(g_fake.calls.providers, 1);
    EXPECT_THAT(TextsStartingWith(L"[ENV] SQLCLI provider"),
                ElementsAre(L"[ENV] SQLCLI provider is available: [SQLNCLI10]"));
    EXPECT_EQ(Texts(kProcesses).size(), 2u);
}

TEST_F(ReportEnvironmentTest, OnlyNativeClientAndSqlOleDbProvidersAreNamed)
{
    g_fake.providers = {L"SQLNCLI10", L"SQLNCLI 10", L"sqlncli10",  L"sqloledb",
                        L"MSDASQL",   L"SQLNCLI11",  L"SQLNCLI\t11", L"SQLOLEDB.1"};
    ReportEnvironment report(&RecordLine, probes_);
    report.ReportEnvironmentVersions();
    std::vector<std::wstring> named;
    for (const std::wstring& text : Texts()) {
        if (text.find(L"provider is available") != std::wstring::npos) {
            named.push_back(text);
        }
    }
    EXPECT_THAT(named, ElementsAre(L"[ENV] SQLCLI provider is available: [SQLNCLI10]",
                                   L"[ENV] MSSQL OLEDB provider is available: [sqloledb]",
                                   L"[ENV] SQLCLI provider is available: [SQLNCLI11]"));
}

TEST_F(ReportEnvironmentTest, ALongLineIsCutAt510Characters)
{
    const std::wstring prefix = L"[ENV] SQLCLI provider is available: [";
    const std::wstring name = L"SQLNCLI" + std::wstring(600, L'x');
    g_fake.providers = {name};
    ReportEnvironment report(&RecordLine, probes_);
    report.ReportEnvironmentVersions();
    const auto lines = TextsStartingWith(prefix);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], (prefix + name).substr(0, 510));
}

TEST_F(ReportEnvironmentTest, AnUnusableCallbackGetsNothingWhileEveryProbeStillRuns)
{
    ReportEnvironment recorded(&RecordLine, probes_);
    recorded.ReportEnvironmentVersions();
    const ProbeCalls withCallback = g_fake.calls;
    ASSERT_FALSE(g_lines.empty());
    EXPECT_GT(withCallback.memoryStatus, 0);
    EXPECT_GT(withCallback.toolHelp, 0);

    // Data, not code: calling it would fault.
    static BYTE writable[64] = {};
    const LogCallback unusable[] = {nullptr, reinterpret_cast<LogCallback>(writable)};
    for (LogCallback callback : unusable) {
        g_lines.clear();
        g_fake.calls = ProbeCalls{};
        ReportEnvironment report(callback, probes_);
        report.ReportEnvironmentVersions();
        EXPECT_TRUE(g_fake.calls == withCallback);
        EXPECT_THAT(g_lines, IsEmpty());
    }
}

TEST_F(ReportEnvironmentTest, MemoryLinesFollowTheStatusThatCouldBeHad)
{
    using Source = EnvironmentProbes::MemoryStatus::Source;
    MEMORYSTATUS basic{};
    basic.dwLength = sizeof(basic);
    basic.dwTotalPhys = 4096u << 10;
    basic.dwAvailPhys = 2048u << 10;
    basic.dwTotalPageFile = 8192u << 10;
    basic.dwAvailPageFile = 100u << 10;
    basic.dwTotalVirtual = 2048u << 10;
    basic.dwAvailVirtual = 1024u << 10;

    g_fake.memory.source = Source::Basic;
    g_fake.memory.basic = basic;
    ReportEnvironment::ReportSystemMemoryInfo(&RecordLine, probes_);
    EXPECT_THAT(Texts(kMemoryInfo),
                ElementsAre(L"[ENV] Total size of physical memory:    4096 KB",
                            L"[ENV] Size of physical memory available:    2048 KB",
                            L"[ENV] Size of the committed memory limit:    8192 KB",
                            L"[ENV] Size of available memory to commit:     100 KB",
                            L"[ENV] Total size of the user mode portion of the virtual address space "
                            L"of the ZAN process:    2048 KB",
                            L"[ENV] Size of unreserved and uncommitted memory in the user mode portion "
                            L"of the virtual address space of the ZAN process:    1024 KB",
                            L"[ENV] Size of private memory of the ZAN process: 3072 KB"));

    g_lines.clear();
    g_fake.memory.source = Source::Failed;
    g_fake.hasPrivateUsage = false;
    ReportEnvironment::ReportSystemMemoryInfo(&RecordLine, probes_);
    EXPECT_THAT(g_lines, IsEmpty());
    EXPECT_EQ(g_fake.calls.privateUsage, 2);
}

TEST_F(ReportEnvironmentTest, AFailedDiskQueryIsReportedWithTheSystemError)
{
    g_fake.disk = EnvironmentProbes::DiskSpace{false, ERROR_NOT_READY, 0, 0};
    ReportEnvironment report(&RecordLine, probes_);
    report.ReportSystemInfo();
    const SystemErrorText error(ERROR_NOT_READY);
    ASSERT_NE(std::wstring(error.Text()), L"");
    EXPECT_THAT(TextsStartingWith(L"[ENV] Unable to get disk space information:"),
                ElementsAre(L"[ENV] Unable to get disk space information: " + std::wstring(error.Text()) +
                            L" (21)"));
    EXPECT_THAT(TextsStartingWith(L"[ENV] Total HD bytes"), IsEmpty());
}

TEST_F(ReportEnvironmentTest, ToolHelpWalkListsEveryProcessButTheIdleOne)
{
    ReportEnvironment report(&RecordLine, probes_);
    report.ReportCurrentProcesses();
    EXPECT_THAT(Texts(kProcesses), ElementsAre(L"[ENV] Running Process: System, ID: 4",
                                               L"[ENV] Running Process: router.exe, ID: 1234"));
}

TEST_F(ReportEnvironmentTest, AFaultOrAnExceptionInTheToolHelpWalkIsReported)
{
    const struct {
        WalkFault fault;
        const wchar_t* expected;
    } cases[] = {
        {WalkFault::Fault, L"Failed to enumerate processes. Exception code : 0xC0000005"},
        {WalkFault::Throw, L"Failed to enumerate processes. An unknown exception occurred."},
    };
    for (const auto& c : cases) {
        g_lines.clear();
        g_fake.fault = c.fault;
        ReportEnvironment report(&RecordLine, probes_);
        report.ReportCurrentProcesses();
        ASSERT_EQ(g_lines.size(), 3u);
        EXPECT_EQ(g_lines[2].text, c.expected);
        EXPECT_EQ(g_lines[2].level, 1);
        EXPECT_EQ(g_lines[2].function, kProcesses);
    }
}

TEST_F(ReportEnvironmentTest, WithoutToolHelpTheProcessesComeFromThePerformanceData)
{
    g_fake.hasToolHelp = false;
    SetCounterNames(std::string("1\0System\0" "230\0Process\0" "784\0ID Process\0\0", 44));
    g_fake.block.status = EnvironmentProbes::PerformanceBlock::Status::Ok;
    g_fake.block.bytes = ProcessBlock({{L"Idle", 0}, {L"services", 512}}, 2);
    ReportEnvironment report(&RecordLine, probes_);
    report.ReportCurrentProcesses();
    EXPECT_EQ(g_fake.performanceName, L"230");
    EXPECT_THAT(Texts(kProcessesNT), ElementsAre(L"[ENV] Running Process: Idle, ID: 0",
                                                 L"[ENV] Running Process: services, ID: 512"));
}

TEST_F(ReportEnvironmentTest, ProcessListFailuresHaveTheirOwnLines)
{
    using Status = EnvironmentProbes::PerformanceBlock::Status;
    const std::string names("1\0System\0" "230\0Process\0" "784\0ID Process\0\0", 44);
    const std::vector<BYTE> good = ProcessBlock({{L"services", 512}}, 1);
    const struct {
        bool counterKey;
        Status status;
        std::vector<BYTE> bytes;
        const wchar_t* expected;
    } cases[] = {
        {false, Status::Ok, good, L"[ENV] Could not open performance registry key!"},
        {true, Status::NoMemory, {}, L"[ENV] Out of Memory!"},
        {true, Status::NoMemoryToGrow, {}, L"[ENV] Could Not Allocate Performance Data!"},
        {true, Status::Failed, {}, L"[ENV] Could Not Obtain Performance Data!"},
        {true, Status::Ok, {}, L"[ENV] Could Not Obtain Performance Data!"},
        {true, Status::Ok, std::vector<BYTE>(good.begin(), good.begin() + 100),
         L"[ENV] Could Not Obtain Performance Data!"},
    };
    for (const auto& c : cases) {
        g_lines.clear();
        ScopedRegistryKey perflib(HKEY_LOCAL_MACHINE);
        perflib.CreateSubKey("");
        if (c.counterKey) {
            perflib.CreateSubKey("009");
            perflib.SetValue("009", "Counters", REG_MULTI_SZ, names.data(), static_cast<DWORD>(names.size()));
        }
        probes_.perflibKey = perflib.Path().c_str();
        g_fake.block.status = c.status;
        g_fake.block.bytes = c.bytes;
        ReportEnvironment report(&RecordLine, probes_);
        report.ReportCurrentProcessesNT();
        EXPECT_THAT(Texts(kProcessesNT), ElementsAre(c.expected)) << static_cast<int>(c.status);
    }
}

TEST_F(ReportEnvironmentTest, OnlyTheFirstFiftyNameSpaceEntriesAreVisited)
{
    ScopedRegistryKey winsock(HKEY_LOCAL_MACHINE);
    winsock.CreateSubKey("");
    winsock.SetString("", "Current_NameSpace_Catalog", "NameSpace_Catalog5");
    for (int i = 0; i < 55; ++i) {
        char entry[64];
        std::snprintf(entry, sizeof(entry), "NameSpace_Catalog5\\Catalog_Entries\\%012d", i + 1);
        winsock.CreateSubKey(entry);
        winsock.SetString(entry, "DisplayString", "Provider " + std::to_string(i + 1));
        winsock.SetString(entry, "LibraryPath",
                          i == 0 ? "%SystemRoot%\\system32\\version.dll" : "%SystemRoot%\\no-such-nsp.dll",
                          REG_EXPAND_SZ);
    }
    // Incomplete entries write nothing.
    winsock.SetString("NameSpace_Catalog5\\Catalog_Entries\\000000000002", "LibraryPath", "", REG_SZ);
    ::RegDeleteKeyValueA(winsock.Key(), "NameSpace_Catalog5\\Catalog_Entries\\000000000003", "DisplayString");
    probes_.winsockParametersKey = winsock.Path().c_str();

    ReportEnvironment report(&RecordLine, probes_);
    report.ReportEnvironmentVersions();
    const auto lines = TextsStartingWith(L"[ENV] Winsock2 file: ");
    ASSERT_EQ(lines.size(), 49u);
    wchar_t root[MAX_PATH] = {};
    ::GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH);
    EXPECT_TRUE(std::regex_match(
        lines[0], std::wregex(LR"(\[ENV\] Winsock2 file: Provider 1, Version: \d+\.\d+\.\d+\.\d+ \(.*\))")))
        << std::string(lines[0].begin(), lines[0].end());
    EXPECT_THAT(lines[0], ::testing::EndsWith(L"\\system32\\version.dll)"));
    EXPECT_EQ(lines[1], L"[ENV] Winsock2 file: Provider 2 ()");
    EXPECT_EQ(lines[2], L"[ENV] Winsock2 file: Provider 4 (" + std::wstring(root) + L"\\no-such-nsp.dll)");
    EXPECT_EQ(lines.back(), L"[ENV] Winsock2 file: Provider 50 (" + std::wstring(root) + L"\\no-such-nsp.dll)");
}

TEST_F(ReportEnvironmentTest, TheComputerLineFallsBackToTheBasicVersion)
{
    const struct {
        bool extended;
        bool basic;
        const wchar_t* expected;  // after the host name
    } cases[] = {
        {true, true, L", OS Version: 6.1, Build number 7601, ServicePack Major 1, ServicePack Minor 0"},
        {false, true, L", OS Version: 5.2, Build number 3790"},
        {false, false, nullptr},
    };
    for (const auto& c : cases) {
        g_lines.clear();
        EnvironmentProbes probes = probes_;
        if (!c.extended) {
            probes.versionEx = [](OSVERSIONINFOEXW&) { return false; };
        }
        probes.version = c.basic ? [](OSVERSIONINFOW& info) {
            info.dwMajorVersion = 5;
            info.dwMinorVersion = 2;
            info.dwBuildNumber = 3790;
            return true;
        } : [](OSVERSIONINFOW&) { return false; };
        ReportEnvironment report(&RecordLine, probes);
        report.ReportEnvironmentVersions();
        const auto lines = TextsStartingWith(L"[ENV] Computer Host Name: ");
        if (c.expected == nullptr) {
            EXPECT_THAT(lines, IsEmpty());
            continue;
        }
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_THAT(lines[0], ::testing::EndsWith(c.expected));
        // The process lines come first, in their order.
        const auto texts = Texts();
        ASSERT_GE(texts.size(), 4u);
        EXPECT_THAT(texts[0], ::testing::StartsWith(L"[ENV] Current Process: "));
        EXPECT_THAT(texts[1], ::testing::StartsWith(L"[ENV] Current Process logged on as: "));
        EXPECT_EQ(texts[2], L"[ENV] Current Process id: " + std::to_wstring(::GetCurrentProcessId()));
        EXPECT_EQ(texts[3], lines[0]);
    }
}

// Which account call fails, with what error; the token the real call opened
// is watched so that every path can be seen to close it.
enum class AccountStep { None, ModulePath, ModulePathCut, OpenToken, TokenSize, TokenRead, Lookup };
struct AccountFakes {
    AccountStep failing = AccountStep::None;
    DWORD error = 0;
    HANDLE token = nullptr;
};
AccountFakes g_account;

bool Fails(AccountStep step)
{
    if (g_account.failing != step) {
        return false;
    }
    ::SetLastError(g_account.error);
    return true;
}

EnvironmentProbes::AccountCalls FailingAccountCalls()
{
    EnvironmentProbes::AccountCalls calls;
    calls.moduleFileName = [](HMODULE module, LPWSTR path, DWORD size) -> DWORD {
        if (Fails(AccountStep::ModulePath)) {
            return 0;
        }
        const DWORD length = ::GetModuleFileNameW(module, path, size);
        // A path longer than the buffer: the system cuts it to the buffer's size.
        return Fails(AccountStep::ModulePathCut) ? size : length;
    };
    calls.openProcessToken = [](HANDLE process, DWORD access, PHANDLE token) -> BOOL {
        if (Fails(AccountStep::OpenToken)) {
            return FALSE;
        }
        const BOOL opened = ::OpenProcessToken(process, access, token);
        g_account.token = opened ? *token : nullptr;
        return opened;
    };
    calls.tokenInformation = [](HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID buffer, DWORD size,
                                PDWORD needed) -> BOOL {
        if (buffer == nullptr && Fails(AccountStep::TokenSize)) {
            *needed = 0;
            return FALSE;
        }
        if (buffer != nullptr && Fails(AccountStep::TokenRead)) {
            return FALSE;
        }
        return ::GetTokenInformation(token, kind, buffer, size, needed);
    };
    calls.lookupAccountSid = [](LPCWSTR system, PSID sid, LPWSTR name, LPDWORD nameSize, LPWSTR domain,
                                LPDWORD domainSize, PSID_NAME_USE use) -> BOOL {
        if (Fails(AccountStep::Lookup)) {
            return FALSE;
        }
        return ::LookupAccountSidW(system, sid, name, nameSize, domain, domainSize, use);
    };
    return calls;
}

TEST_F(ReportEnvironmentTest, EachFailedAccountStepWritesItsOwnLineAndLeavesTheAccountEmpty)
{
    const struct {
        AccountStep failing;
        DWORD error;
        std::int32_t level;
        const wchar_t* line;  // without the error text and code
        bool pathKept;
    } cases[] = {
        {AccountStep::ModulePath, ERROR_ACCESS_DENIED, 2, L"GetModuleFileNameW Error: ", false},
        {AccountStep::ModulePathCut, ERROR_INSUFFICIENT_BUFFER, 2, L"GetModuleFileNameW Error: ", false},
        {AccountStep::OpenToken, ERROR_ACCESS_DENIED, 1, L"OpenProcessToken Error: ", true},
        {AccountStep::TokenSize, ERROR_INVALID_PARAMETER, 1, L"GetTokenInformation Error: ", true},
        {AccountStep::TokenRead, ERROR_INSUFFICIENT_BUFFER, 1, L"GetTokenInformation Error: ", true},
        {AccountStep::Lookup, ERROR_NONE_MAPPED, 1, L"LookupAccountSid Error: ", true},
    };
    EnvironmentProbes probes = probes_;
    probes.account = FailingAccountCalls();
    wchar_t ownPath[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameW(nullptr, ownPath, MAX_PATH), 0u);

    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.failing));
        g_lines.clear();
        g_account = {c.failing, c.error, nullptr};
        ReportEnvironment report(&RecordLine, probes);
        std::wstring path = L"stale";
        std::wstring account = L"stale";
        report.GetServiceInfo(path, account);

        const SystemErrorText error(c.error);
        ASSERT_EQ(g_lines.size(), 1u);
        EXPECT_EQ(g_lines[0].text,
                  c.line + std::wstring(error.Text()) + L" (" + std::to_wstring(c.error) + L")");
        EXPECT_EQ(g_lines[0].level, c.level);
        EXPECT_EQ(g_lines[0].function, "ReportEnvironment::GetServiceInfo");
        EXPECT_EQ(path, c.pathKept ? std::wstring(ownPath) : std::wstring());
        EXPECT_TRUE(account.empty());
        if (g_account.token != nullptr) {
            DWORD flags = 0;
            EXPECT_FALSE(::GetHandleInformation(g_account.token, &flags)) << "the token was left open";
        }
    }

    // Nothing failing: the path, the account as domain\name, and no line.
    g_lines.clear();
    g_account = {};
    ReportEnvironment report(&RecordLine, probes);
    std::wstring path;
    std::wstring account;
    report.GetServiceInfo(path, account);
    EXPECT_THAT(g_lines, IsEmpty());
    EXPECT_EQ(path, ownPath);
    EXPECT_NE(account.find(L'\\'), std::wstring::npos) << account;
    ASSERT_NE(g_account.token, nullptr);
    DWORD flags = 0;
    EXPECT_FALSE(::GetHandleInformation(g_account.token, &flags)) << "the token was left open";
}

TEST_F(ReportEnvironmentTest, TheSystemStartTimeIsNowLessTheUpTime)
{
    ReportEnvironment report(&RecordLine, probes_);
    const std::int64_t before = static_cast<std::int64_t>(::_time64(nullptr));
    const std::int64_t start = report.GetSystemStartTime();
    const std::int64_t after = static_cast<std::int64_t>(::_time64(nullptr));
    EXPECT_GE(start, before - 90061);
    EXPECT_LE(start, after - 90061);
    for (std::int64_t upTime : {0LL, -1LL}) {
        g_fake.upTime = upTime;
        EXPECT_EQ(report.GetSystemStartTime(), 0) << upTime;
    }
}

TEST(PerformanceDataTest, CounterNamesGiveTheProcessObjectAndItsIdCounter)
{
    const ProcessCounterIndexes found =
        FindProcessCounters({L"1", L"1847", L"230", L"PROCESS", L"784", L"Id Process", L"786", L"Process Id"});
    EXPECT_EQ(found.processIndex, L"230");
    EXPECT_TRUE(found.hasIdProcess);
    EXPECT_EQ(found.idProcessIndex, 784u);

    const ProcessCounterIndexes none = FindProcessCounters({L"1", L"1847", L"1846", L"End Marker"});
    EXPECT_EQ(none.processIndex, L"");
    EXPECT_FALSE(none.hasIdProcess);
}

TEST(PerformanceDataTest, UpTimeComesFromCounter674OfTheSystemObject)
{
    const std::vector<BYTE> block = SystemBlock(90061);
    const UpTimeWalk walk = WalkSystemUpTime(block.data(), block.size());
    EXPECT_EQ(walk.status, PerformanceWalk::Ok);
    EXPECT_EQ(walk.seconds, 90061);

    const std::vector<BYTE> other = SystemBlock(90061, 675);
    EXPECT_EQ(WalkSystemUpTime(other.data(), other.size()).status, PerformanceWalk::CounterMissing);
    EXPECT_EQ(WalkSystemUpTime(other.data(), other.size()).seconds, -1);
}

TEST(PerformanceDataTest, EveryShortenedOrBrokenSystemBlockIsRefusedWithoutReadingPastIt)
{
    const std::vector<BYTE> block = SystemBlock(90061);
    for (std::size_t size = 0; size < block.size(); ++size) {
        GuardedCopy copy(block, size);
        const UpTimeWalk walk = WalkSystemUpTime(copy.Data(), size);
        EXPECT_NE(walk.status, PerformanceWalk::Ok) << size;
        EXPECT_EQ(walk.seconds, -1) << size;
    }
    const std::size_t object = sizeof(PERF_DATA_BLOCK);
    const std::size_t upTimeCounter = object + sizeof(PERF_OBJECT_TYPE) + sizeof(PERF_COUNTER_DEFINITION);
    const struct {
        const char* what;
        std::size_t offset;
        DWORD value;
    } breaks[] = {
        {"object header past the block", object + offsetof(PERF_OBJECT_TYPE, HeaderLength), 0x7FFFFFF0},
        {"object longer than the block", object + offsetof(PERF_OBJECT_TYPE, TotalByteLength), 0xFFFFFFF0},
        {"definitions past the object", object + offsetof(PERF_OBJECT_TYPE, DefinitionLength), 0x10000},
        {"counter of no length", object + sizeof(PERF_OBJECT_TYPE) + offsetof(PERF_COUNTER_DEFINITION, ByteLength), 0},
        {"value past the block", upTimeCounter + offsetof(PERF_COUNTER_DEFINITION, CounterOffset), 0xFFFFFFF8},
        {"value across the end", upTimeCounter + offsetof(PERF_COUNTER_DEFINITION, CounterOffset), 20},
        {"no frequency", object + offsetof(PERF_OBJECT_TYPE, PerfFreq), 0},
    };
    for (const auto& b : breaks) {
        std::vector<BYTE> broken = block;
        std::memcpy(broken.data() + b.offset, &b.value, sizeof(b.value));
        GuardedCopy copy(broken, broken.size());
        const UpTimeWalk walk = WalkSystemUpTime(copy.Data(), broken.size());
        EXPECT_NE(walk.status, PerformanceWalk::Ok) << b.what;
        EXPECT_EQ(walk.seconds, -1) << b.what;
    }
    // Looking for a counter that is not there, the walk stops at the end of
    // the definitions whatever count the object claims.
    std::vector<BYTE> overcounted = SystemBlock(90061, 675);
    const DWORD claimed = 1000;
    std::memcpy(overcounted.data() + object + offsetof(PERF_OBJECT_TYPE, NumCounters), &claimed,
                sizeof(claimed));
    GuardedCopy copy(overcounted, overcounted.size());
    EXPECT_EQ(WalkSystemUpTime(copy.Data(), overcounted.size()).status, PerformanceWalk::Malformed);
}

TEST(PerformanceDataTest, UpTimeFailuresAreReportedByGetUpTimeSecs)
{
    using Status = EnvironmentProbes::PerformanceBlock::Status;
    std::vector<BYTE> headerOnly(sizeof(PERF_DATA_BLOCK));
    PERF_DATA_BLOCK header = DataBlockHeader();
    header.TotalByteLength = sizeof(PERF_DATA_BLOCK);
    header.NumObjectTypes = 0;
    std::memcpy(headerOnly.data(), &header, sizeof(header));
    const std::vector<BYTE> good = SystemBlock(90061);
    const std::wstring error =
        L"[ENV] Error occurred while collecting performance data from the registry for System uptime";
    const struct {
        Status status;
        std::vector<BYTE> bytes;
        std::int64_t expected;
        std::vector<std::wstring> lines;
    } cases[] = {
        {Status::Ok, good, 90061, {}},
        {Status::Ok, SystemBlock(90061, 675), -1, {}},
        {Status::Failed, {}, -1, {error}},
        {Status::NoMemory, {}, -1, {error}},
        {Status::Ok, {}, -1, {error}},
        {Status::Ok, std::vector<BYTE>(good.begin(), good.begin() + 200), -1, {error}},
        {Status::Ok, headerOnly, -1,
         {error + L" (HeaderLength = " + std::to_wstring(sizeof(PERF_DATA_BLOCK)) +
          L", TotalByteLength = " + std::to_wstring(sizeof(PERF_DATA_BLOCK)) + L")"}},
    };
    EnvironmentProbes probes = FakeProbes();
    for (const auto& c : cases) {
        g_lines.clear();
        g_fake = FakeSystem{};
        g_fake.block.status = c.status;
        g_fake.block.bytes = c.bytes;
        EXPECT_EQ(ReportEnvironment::GetUpTimeSecs(&RecordLine, probes), c.expected);
        EXPECT_EQ(g_fake.performanceName, L"2");
        std::vector<std::wstring> texts;
        for (const RecordedLine& line : g_lines) {
            EXPECT_EQ(line.function, kUpTime);
            EXPECT_EQ(line.level, 3);
            texts.push_back(line.text);
        }
        EXPECT_EQ(texts, c.lines);
    }
}

TEST(PerformanceDataTest, ProcessInstancesAreListedUpTo256)
{
    std::vector<PerformanceProcess> listed;
    const std::vector<BYTE> block = ProcessBlock({{L"Idle", 0}, {L"System", 4}, {L"router", 1234}}, 3);
    ASSERT_EQ(WalkProcessInstances(block.data(), block.size(), kIdProcess, listed), PerformanceWalk::Ok);
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[2].name, L"router");
    EXPECT_EQ(listed[2].id, 1234u);

    std::vector<PerformanceProcess> many;
    for (DWORD i = 0; i < 300; ++i) {
        many.push_back({L"p" + std::to_wstring(i), i + 1});
    }
    const std::vector<BYTE> large = ProcessBlock(many, 300);
    ASSERT_EQ(WalkProcessInstances(large.data(), large.size(), kIdProcess, listed), PerformanceWalk::Ok);
    ASSERT_EQ(listed.size(), 256u);
    EXPECT_EQ(listed.back().name, L"p255");
    EXPECT_EQ(listed.back().id, 256u);
}

TEST(PerformanceDataTest, AnObjectWithoutInstancesListsNothing)
{
    std::vector<PerformanceProcess> listed{{L"stale", 1}};
    for (LONG reported : {static_cast<LONG>(PERF_NO_INSTANCES), 0L}) {
        const std::vector<BYTE> block = ProcessBlock({}, reported);
        GuardedCopy copy(block, block.size());
        EXPECT_EQ(WalkProcessInstances(copy.Data(), block.size(), kIdProcess, listed), PerformanceWalk::Ok);
        EXPECT_THAT(listed, IsEmpty());
    }
}

TEST(PerformanceDataTest, EveryShortenedOrBrokenProcessBlockIsRefusedWithoutReadingPastIt)
{
    const std::vector<BYTE> block = ProcessBlock({{L"System", 4}, {L"router", 1234}}, 2);
    std::vector<PerformanceProcess> listed;
    for (std::size_t size = 0; size < block.size(); ++size) {
        GuardedCopy copy(block, size);
        EXPECT_EQ(WalkProcessInstances(copy.Data(), size, kIdProcess, listed), PerformanceWalk::Malformed)
            << size;
    }
    const std::size_t object = sizeof(PERF_DATA_BLOCK);
    const std::size_t instance = object + sizeof(PERF_OBJECT_TYPE) + 2 * sizeof(PERF_COUNTER_DEFINITION);
    const struct {
        const char* what;
        std::size_t offset;
        DWORD value;
    } breaks[] = {
        {"not marked PERF", 0, 0x00410042},
        {"more instances than present", object + offsetof(PERF_OBJECT_TYPE, NumInstances), 3},
        {"instance of no length", instance + offsetof(PERF_INSTANCE_DEFINITION, ByteLength), 0},
        {"name past the instance", instance + offsetof(PERF_INSTANCE_DEFINITION, NameOffset), 0x7FFFFFFF},
        {"name longer than the instance", instance + offsetof(PERF_INSTANCE_DEFINITION, NameLength), 4096},
        {"no id counter", object + sizeof(PERF_OBJECT_TYPE) + sizeof(PERF_COUNTER_DEFINITION) +
                              offsetof(PERF_COUNTER_DEFINITION, CounterNameTitleIndex), 999},
    };
    for (const auto& b : breaks) {
        std::vector<BYTE> broken = block;
        std::memcpy(broken.data() + b.offset, &b.value, sizeof(b.value));
        GuardedCopy copy(broken, broken.size());
        EXPECT_EQ(WalkProcessInstances(copy.Data(), broken.size(), kIdProcess, listed),
                  PerformanceWalk::Malformed)
            << b.what;
    }
}

}  // namespace
