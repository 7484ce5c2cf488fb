// The event-log output: types and identifiers by level, the source's
// registration under HKLM, which records reach the event log, and the
// interval gate.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "common/logger/debug_logger.h"
#include "common/logger/event_log_output.h"
#include "scoped_registry_key.h"

namespace {

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// A source name no other test process uses.
std::wstring UniqueSourceName()
{
    return L"EventLogOutputTest-" + std::to_wstring(::GetCurrentProcessId());
}

std::wstring SourceKeyPath(const std::wstring& name)
{
    return std::wstring(kEventLogSourceRoot) + name;
}

std::wstring ModulePath(HMODULE module)
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, length);
}

bool SourceKeyExists(const std::wstring& name)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, SourceKeyPath(name).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    ::RegCloseKey(key);
    return true;
}

// Removes the source's registration the test may have made, before and after.
class ScopedEventSourceKey {
public:
    explicit ScopedEventSourceKey(std::wstring name) : name_(std::move(name)) { Remove(); }
    ~ScopedEventSourceKey() { Remove(); }
    const std::wstring& Name() const { return name_; }

private:
    void Remove() const { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, SourceKeyPath(name_).c_str()); }
    std::wstring name_;
};

// Records the entries instead of reporting them.
class RecordingEventLogOutput : public EventLogOutput {
public:
    struct Reported {
        WORD type;
        DWORD eventId;
        std::wstring text;
    };
    using EventLogOutput::EventLogOutput;
    std::vector<Reported> reported;

protected:
    void ReportEntry(const EventLogEntry& entry, const std::wstring& text) noexcept override
    {
        reported.push_back({entry.type, entry.eventId, text});
    }
};

LogRecord Record(std::int32_t level, std::int32_t eventId, const wchar_t* text)
{
    LogRecord record;
    record.level = level;
    record.eventId = eventId;
    record.threadId = 0x1A4;
    record.user = L"user";
    record.text = text;
    return record;
}

class EventLogOutputTest : public ::testing::Test {
protected:
    // Runs the logger once so that it takes the module name as its event
    // source name and the key's settings; no outputs of its own are installed.
    void Configure(const wchar_t* moduleName, DWORD enabled, DWORD level)
    {
        settings_.SetDword("", "EventLogEnabled", enabled);
        settings_.SetDword("", "EventLogLevel", level);
        ASSERT_TRUE(
            logger_.StartWithFile(moduleName, Wide(settings_.Path()).c_str(), true, nullptr, nullptr));
        ASSERT_TRUE(logger_.WaitUntilReady());
        logger_.Stop();
        ASSERT_EQ(logger_.Config().eventSourceName, moduleName);
    }

    ScopedEventSourceKey source_{UniqueSourceName()};
    ScopedRegistryKey settings_{HKEY_CURRENT_USER};
    DebugLogger logger_;
};

TEST(EventLogEntryTest, LevelsGiveTypesAndDefaultIdentifiers)
{
    const struct {
        std::int32_t level;
        bool written;
        WORD type;
        DWORD eventId;
    } cases[] = {
        {-1, false, 0, 0},
        {0, true, EVENTLOG_ERROR_TYPE, 0xEFFF2710},
        {1, true, EVENTLOG_ERROR_TYPE, 0xEFFF2710},
        {2, true, EVENTLOG_WARNING_TYPE, 0xAFFF4E20},
        {3, true, EVENTLOG_INFORMATION_TYPE, 0x6FFF7530},
        {4, false, 0, 0},
        {5, true, EVENTLOG_INFORMATION_TYPE, 0x6FFFC350},
        {6, false, 0, 0},  {7, false, 0, 0},  {8, false, 0, 0},  {9, false, 0, 0},
        {10, false, 0, 0}, {11, false, 0, 0}, {12, false, 0, 0}, {13, false, 0, 0},
        {14, false, 0, 0}, {15, false, 0, 0},
    };
    for (const auto& c : cases) {
        EventLogEntry entry = {0xBEEF, 0xDEADBEEF};
        EXPECT_EQ(EventLogEntryFor(c.level, 0, entry), c.written) << "level " << c.level;
        if (c.written) {
            EXPECT_EQ(entry.type, c.type) << "level " << c.level;
            EXPECT_EQ(entry.eventId, c.eventId) << "level " << c.level;
        }
    }
}

TEST(EventLogEntryTest, TheRecordsOwnIdentifierReplacesTheDefault)
{
    EventLogEntry entry = {};
    ASSERT_TRUE(EventLogEntryFor(1, 0x1234, entry));
    EXPECT_EQ(entry.type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(entry.eventId, 0x1234u);
    ASSERT_TRUE(EventLogEntryFor(5, -1, entry));
    EXPECT_EQ(entry.type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(entry.eventId, 0xFFFFFFFFu);
    EXPECT_FALSE(EventLogEntryFor(4, 0x1234, entry));
}

TEST_F(EventLogOutputTest, OpenRegistersTheExecutableAsMessageFileAndTheSource)
{
    Configure(source_.Name().c_str(), 1, 2);
    EventLogOutput output(logger_);
    EXPECT_FALSE(output.IsOpen());
    output.Open();
    ASSERT_TRUE(output.IsOpen());
    const HANDLE source = output.Source();
    EXPECT_NE(source, nullptr);

    DWORD types = 0;
    DWORD size = sizeof(types);
    ASSERT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, SourceKeyPath(source_.Name()).c_str(),
                             L"TypesSupported", RRF_RT_REG_DWORD, nullptr, &types, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(types, 7u);
    wchar_t file[MAX_PATH] = {};
    size = sizeof(file);
    DWORD type = 0;
    ASSERT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, SourceKeyPath(source_.Name()).c_str(),
                             L"EventMessageFile", RRF_RT_ANY, &type, file, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(std::wstring(file), ModulePath(nullptr));

    // Already open: the handle stays.
    output.Open();
    EXPECT_EQ(output.Source(), source);
    output.Close();
    EXPECT_FALSE(output.IsOpen());
    EXPECT_EQ(output.Source(), nullptr);
}

TEST_F(EventLogOutputTest, TheMessageModuleNamesTheMessageFile)
{
    Configure(source_.Name().c_str(), 1, 2);
    logger_.SetMessageModule("kernel32.dll");
    EventLogOutput output(logger_);
    output.Open();
    EXPECT_TRUE(output.IsOpen());
    wchar_t file[MAX_PATH] = {};
    DWORD size = sizeof(file);
    ASSERT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, SourceKeyPath(source_.Name()).c_str(),
                             L"EventMessageFile", RRF_RT_REG_SZ, nullptr, file, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(file), ModulePath(::GetModuleHandleW(L"kernel32.dll")));
}

TEST_F(EventLogOutputTest, OpenDoesNothingWhenTheEventLogIsOff)
{
    Configure(source_.Name().c_str(), 0, 2);
    EventLogOutput output(logger_);
    output.Open();
    EXPECT_FALSE(output.IsOpen());
    EXPECT_EQ(output.Source(), nullptr);
    EXPECT_FALSE(SourceKeyExists(source_.Name()));
}

TEST_F(EventLogOutputTest, OpenDoesNothingWithoutASourceName)
{
    Configure(L"", 1, 2);
    EventLogOutput output(logger_);
    output.Open();
    EXPECT_FALSE(output.IsOpen());
    EXPECT_EQ(output.Source(), nullptr);
}

TEST_F(EventLogOutputTest, WriteReportsTheLevelsTheOutputTakes)
{
    Configure(source_.Name().c_str(), 1, 2);
    RecordingEventLogOutput output(logger_);
    output.Open();
    ASSERT_TRUE(output.IsOpen());
    for (std::int32_t level = -1; level <= 15; ++level) {
        output.Write(Record(level, 0, (L"level " + std::to_wstring(level)).c_str()));
    }
    output.Write(Record(1, 0x1234, L"own id"));
    ASSERT_EQ(output.reported.size(), 5u);
    const struct {
        WORD type;
        DWORD eventId;
        const wchar_t* text;
    } expected[] = {
        {EVENTLOG_ERROR_TYPE, 0xEFFF2710, L"level 0"},
        {EVENTLOG_ERROR_TYPE, 0xEFFF2710, L"level 1"},
        {EVENTLOG_WARNING_TYPE, 0xAFFF4E20, L"level 2"},
        {EVENTLOG_INFORMATION_TYPE, 0x6FFFC350, L"level 5"},
        {EVENTLOG_ERROR_TYPE, 0x1234, L"own id"},
    };
    for (std::size_t i = 0; i < output.reported.size(); ++i) {
        EXPECT_EQ(output.reported[i].type, expected[i].type) << i;
        EXPECT_EQ(output.reported[i].eventId, expected[i].eventId) << i;
        EXPECT_EQ(output.reported[i].text, expected[i].text) << i;
    }
}

TEST_F(EventLogOutputTest, LevelFourNeverAndLevelFiveAlwaysReachTheEventLog)
{
    Configure(source_.Name().c_str(), 1, 0);
    RecordingEventLogOutput output(logger_);
    output.Open();
    ASSERT_TRUE(output.IsOpen());
    output.Write(Record(1, 0, L"one"));
    output.Write(Record(5, 0, L"five"));
    ASSERT_EQ(output.reported.size(), 1u);
    EXPECT_EQ(output.reported[0].eventId, 0x6FFFC350u);
    EXPECT_EQ(output.reported[0].text, L"five");
}

TEST_F(EventLogOutputTest, LevelFourIsNotWrittenWhateverTheLevel)
{
    Configure(source_.Name().c_str(), 1, 15);
    RecordingEventLogOutput output(logger_);
    output.Open();
    ASSERT_TRUE(output.IsOpen());
    output.Write(Record(4, 0, L"four"));
    output.Write(Record(6, 0, L"six"));
    output.Write(Record(3, 0, L"three"));
    ASSERT_EQ(output.reported.size(), 1u);
    EXPECT_EQ(output.reported[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(output.reported[0].eventId, 0x6FFF7530u);
}

TEST_F(EventLogOutputTest, NothingIsWrittenWithoutAnOpenSource)
{
    Configure(source_.Name().c_str(), 1, 2);
    RecordingEventLogOutput output(logger_);
    output.Write(Record(5, 0, L"before open"));
    output.Open();
    output.Close();
    output.Write(Record(1, 0, L"after close"));
    EXPECT_TRUE(output.reported.empty());
}

TEST_F(EventLogOutputTest, NothingIsWrittenWhenTheEventLogIsOff)
{
    Configure(source_.Name().c_str(), 0, 2);
    RecordingEventLogOutput output(logger_);
    output.Open();
    output.Write(Record(5, 0, L"always"));
    EXPECT_TRUE(output.reported.empty());
}

// ---------------------------------------------------------------- interval gate

TEST(LevelByIntervalTest, DueOncePerIntervalAtExplicitTimes)
{
    volatile LONG64 last = 1000;
    const struct {
        std::time_t now;
        int expected;
        LONG64 lastAfter;
    } calls[] = {
        {1060, 0, 1000},  // exactly the interval: not yet more than it
        {1061, 3, 1061},
        {1100, 0, 1061},  // within the threshold
        {1121, 0, 1061},
        {1122, 3, 1122},
    };
    for (const auto& call : calls) {
        EXPECT_EQ(LevelByInterval(&last, 3, 0, 0, 60, call.now), call.expected) << call.now;
        EXPECT_EQ(last, call.lastAfter) << call.now;
    }
}

TEST(LevelByIntervalTest, AnIntervalArgumentReplacesTheDefault)
{
    volatile LONG64 last = 1000;
    EXPECT_EQ(LevelByInterval(&last, 2, 5, 10, 60, 1011), 2);
    EXPECT_EQ(last, 1011);
    EXPECT_EQ(LevelByInterval(&last, 2, 5, 10, 60, 1021), 5);
    EXPECT_EQ(LevelByInterval(&last, 2, 5, 10, 60, 1022), 2);
}

TEST(LevelByIntervalTest, ANullPointerIsAlwaysDue)
{
    EXPECT_EQ(LevelByInterval(nullptr, 2, 5, 60, 60, 0), 2);
    EXPECT_EQ(LevelByInterval(nullptr, 2, 5, 60, 60), 2);
}

TEST(LevelByIntervalTest, TwiceWithinTheThresholdAtTheCurrentTime)
{
    volatile LONG64 last = 0;
    const LONG64 before = static_cast<LONG64>(std::time(nullptr));
    EXPECT_EQ(LevelByInterval(&last, 1, 4, 0, 3600), 1);
    const LONG64 after = static_cast<LONG64>(std::time(nullptr));
    EXPECT_GE(last, before);
    EXPECT_LE(last, after);
    EXPECT_EQ(LevelByInterval(&last, 1, 4, 0, 3600), 4);
}

TEST(LevelByIntervalTest, ExactlyOneOfRacingThreadsIsDue)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 50;
    for (int round = 0; round < kRounds; ++round) {
        volatile LONG64 last = 0;
        const HANDLE go = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(go, nullptr);
        std::vector<int> results(kThreads, -1);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                ::WaitForSingleObject(go, INFINITE);
                results[i] = LevelByInterval(&last, 1, 0, 0, 60, 1000 + round);
            });
        }
        ::SetEvent(go);
        for (auto& thread : threads) {
            thread.join();
        }
        ::CloseHandle(go);
        int due = 0;
        for (const int result : results) {
            ASSERT_TRUE(result == 0 || result == 1) << result;
            due += result;
        }
        EXPECT_EQ(due, 1) << "round " << round;
        EXPECT_EQ(last, 1000 + round);
    }
}

}  // namespace
