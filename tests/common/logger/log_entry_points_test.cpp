// The process-wide logger reached through the C-style entry points, and the
// thread registry that Thread fills through its hooks.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "child_process.h"
#include "file_contents.h"
#include "scoped_temp_folder.h"
#include "common/logger/log_entry_points.h"
#include "common/logger/thread_registry.h"
#include "common/thread/event.h"
#include "common/thread/thread.h"
#include "logger_test_support.h"
#include "wait_until.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class LogEntryPointsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        logger_ = ProcessDebugLogger();
        ASSERT_NE(logger_, nullptr);
        InstallMemoryOutputs(*logger_, journal_);
        auto settings = SettingsWithLevel(3);
        ASSERT_TRUE(DebugLogStartWithSettings(*settings));
        EXPECT_TRUE(DebugLogIsReady());
    }

    void TearDown() override { DebugLogStopIfNoSink(); }

    std::vector<LogRecord> FileRecords() const
    {
        std::vector<LogRecord> records;
        for (const WrittenRecord& written : journal_.Records()) {
            if (written.kind == LogOutputKind::File) {
                records.push_back(written.record);
            }
        }
        return records;
    }

    OutputJournal journal_;
    DebugLogger* logger_ = nullptr;
};

TEST_F(LogEntryPointsTest, EveryFormReachesTheOutputsWithItsUserAndEvent)
{
    DebugLog(3, L"wide %s %d", L"text", 1);
    DebugLogW(3, L"wide %S", "narrow argument");
    DebugLogEvent(3, 0x44, L"wide event");
    DebugLogUser(L"alice", 3, L"wide user");
    DebugLogUserEvent(L"alice", 3, 0x45, L"wide user event");
    DebugLog(3, "narrow %s %d", "text", 2);
    DebugLogA(3, "narrow %S", L"wide argument");
    DebugLogMessage(3, "narrow %c%c", 'o', 'k');
    DebugLogEvent(3, 0x46, "narrow event");
    DebugLogEventA(3, 0x47, "narrow event A");
    DebugLogUser("bob", 3, "narrow user");
    DebugLogUserA("bob", 3, "narrow user A");
    DebugLogUserEvent("bob", 3, 0x48, "narrow user event");
    DebugLogUserEventA("bob", 3, 0x49, "narrow user event A");
    DebugLogText(3, 0x50, 0x1234, "pre-formatted %d", "carol");
    DebugLogText(3, 0, 0, L"pre-formatted wide", L"");
    EXPECT_STREQ(DebugLogEventText(3, 0x51, L"event text %%"), L"event text %%");
    DebugLogLine(3, L"a line with %d in it");
    DebugLogStopIfNoSink();

    struct Expected {
        const wchar_t* text;
        const wchar_t* user;
        int eventId;
    } const expected[] = {
        {L"wide text 1", L"", 0},
        {L"wide narrow argument", L"", 0},
        {L"wide event", L"", 0x44},
        {L"wide user", L"alice", 0},
        {L"wide user event", L"alice", 0x45},
        {L"narrow text 2", L"", 0},
        {L"narrow wide argument", L"", 0},
        {L"narrow ok", L"", 0},
        {L"narrow event", L"", 0x46},
        {L"narrow event A", L"", 0x47},
        {L"narrow user", L"bob", 0},
        {L"narrow user A", L"bob", 0},
        {L"narrow user event", L"bob", 0x48},
        {L"narrow user event A", L"bob", 0x49},
        {L"pre-formatted %d", L"carol", 0x50},
        {L"pre-formatted wide", L"", 0},
        {L"event text %", L"", 0x51},
        {L"a line with %d in it", L"", 0},
    };
    const auto records = FileRecords();
    ASSERT_EQ(records.size(), std::size(expected));
    for (std::size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(records[i].text, expected[i].text);
        EXPECT_EQ(records[i].user, expected[i].user);
        EXPECT_EQ(records[i].eventId, expected[i].eventId);
        EXPECT_EQ(records[i].threadId, i == 14 ? 0x1234u : ::GetCurrentThreadId());
    }
}

void LogThroughList(int level, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    DebugLogV(level, format, args, 7, L"list user");
    va_end(args);
}

void LogThroughNarrowList(int level, int eventId, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    DebugLogEventV(level, eventId, format, args, "narrow list user");
    va_end(args);
}

TEST_F(LogEntryPointsTest, ArgumentListFormsSkipTheGateButNeverCarryOutPercentN)
{
    int target = 17;
    LogThroughList(9, L"above every level %d", 9);  // no gate, but above maxLevel
    LogThroughList(5, L"list %d%n!", 5, &target);
    LogThroughNarrowList(2, 8, "narrow list %s", "ok");
    DebugLogStopIfNoSink();
    EXPECT_EQ(target, 17);
    const auto records = FileRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].text, L"list 5!");
    EXPECT_EQ(records[0].user, L"list user");
    EXPECT_EQ(records[0].eventId, 7);
    EXPECT_EQ(records[1].text, L"narrow list ok");
    EXPECT_EQ(records[1].user, L"narrow list user");
}

TEST_F(LogEntryPointsTest, FormatCheckedFormatsOrReportsAndLeavesTheBuffer)
{
    wchar_t buffer[16];
    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(FormatChecked(buffer, 16, L"%s-%d", L"abc", 12), 6);
    EXPECT_STREQ(buffer, L"abc-12");

    std::fill(std::begin(buffer), std::end(buffer), L'#');
    EXPECT_EQ(FormatChecked(buffer, 16, L"%q", 1), 0);
    EXPECT_EQ(buffer[0], L'#');

    EXPECT_EQ(FormatChecked(buffer, 4, L"%s", L"longer"), -1);
    EXPECT_STREQ(buffer, L"lon");
    DebugLogStopIfNoSink();

    const auto records = FileRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].level, 5);
    EXPECT_EQ(records[0].text,
              L"Invalid log entry - Level:3, EventId:0(0x00000000), Format:%q, User:<null>, "
              L"ArgCount:0, Args:<null>");
}

TEST_F(LogEntryPointsTest, GatedRecordsAreDroppedBeforeTheirArgumentsAreRead)
{
    // A bad pointer behind a level no output takes is never looked at.
    DebugLog(9, L"%s", reinterpret_cast<const wchar_t*>(16));
    DebugLog(3, L"%s", reinterpret_cast<const wchar_t*>(16));
    DebugLogStopIfNoSink();
    const auto records = FileRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_THAT(records[0].text, HasSubstr(L"Args:arg[1](wchar_t*)=BAD_PTR(0000000000000010)"));
}

TEST_F(LogEntryPointsTest, SettersAndGettersReachTheProcessWideLogger)
{
    EXPECT_TRUE(DebugLogSetDebugLogLevel(4));
    EXPECT_EQ(DebugLogGetDebugLogLevel(), 4);
    EXPECT_EQ(DebugLogGetEventLogLevel(), 3);
    EXPECT_EQ(DebugLogGetSysLogLevel(), 3);
    EXPECT_EQ(DebugLogGetConsoleLogLevel(), 3);
    EXPECT_EQ(DebugLogGetEventLogTimeThreshold(), 60);
    EXPECT_TRUE(DebugLogHasNoSink());
    EXPECT_FALSE(DebugLogSetSplitLines(true));
    DebugLogSetInstanceNumber(12);
    EXPECT_EQ(logger_->Config().instanceNumber, 12);
    DebugLogSetAppName("Router");
    DebugLogSetMessageModule("router.dll");
    EXPECT_EQ(logger_->Config().appName, L"Router");
    EXPECT_EQ(logger_->Config().messageModule, L"router.dll");

    // The memory file output is open while the thread runs.
    char name[8] = "unset";
    EXPECT_TRUE(DebugLogIsFileLogging());
    EXPECT_EQ(DebugLogGetLogFileName(name, sizeof(name)), 0u);  // no name given
    DebugLogStopIfNoSink();
    EXPECT_FALSE(DebugLogIsReady());
    EXPECT_FALSE(DebugLogIsFileLogging());
}

TEST_F(LogEntryPointsTest, ThreadsAreNamedInTheRegistryAndTheLog)
{
    struct Worker : Thread {
        Worker() : Thread("Worker") {}
        ~Worker() override { Stop(); }
        void Run() override { StopEvent().Wait(-1); }
    };
    DWORD workerId = 0;
    {
        Worker worker;
        ASSERT_TRUE(worker.Start());
        workerId = worker.ThreadId();
        ASSERT_TRUE(WaitUntil([&] {
            for (const auto& entry : ProcessThreadRegistry()->Snapshot()) {
                if (entry.first == workerId && entry.second == "Worker") {
                    return true;
                }
            }
            return false;
        }));
    }
    std::string name;
    EXPECT_FALSE(ProcessThreadRegistry()->TakeThreadName(workerId, name));
    DebugLogStopIfNoSink();

    wchar_t registered[128];
    wchar_t unregistered[128];
    swprintf(registered, 128, L"[DIAG] EVENT=Register_thread, THREADID=0x%X, THREADNAME=\"Worker\"",
             workerId);
    swprintf(unregistered, 128,
             L"[DIAG] EVENT=Unregister_thread, THREADID=0x%X, THREADNAME=\"Worker\"", workerId);
    std::vector<std::wstring> texts;
    for (const LogRecord& record : FileRecords()) {
        texts.push_back(record.text);
    }
    EXPECT_THAT(texts, ElementsAre(registered, unregistered));
}

TEST(ThreadRegistryTest, KeepsTheLastNameAndForgetsOnlyWhatItHolds)
{
    ThreadRegistry registry;
    registry.RegisterThread("first");
    registry.RegisterThread("second");
    std::string name;
    EXPECT_TRUE(registry.TakeThreadName(::GetCurrentThreadId(), name));
    EXPECT_EQ(name, "second");
    EXPECT_FALSE(registry.TakeThreadName(::GetCurrentThreadId(), name));
    registry.UnregisterThread();  // never registered now: nothing to do
    registry.RegisterThread(nullptr);
    EXPECT_EQ(registry.Snapshot().size(), 1u);
    EXPECT_EQ(registry.Snapshot()[0].second, "");
}

TEST(ThreadRegistryTest, UnregisteringAnUnknownThreadLogsNothing)
{
    OutputJournal journal;
    DebugLogger* const logger = ProcessDebugLogger();
    InstallMemoryOutputs(*logger, journal);
    auto settings = SettingsWithLevel(3);
    ASSERT_TRUE(DebugLogStartWithSettings(*settings));
    ThreadRegistry registry;
    registry.UnregisterThread();
    registry.RegisterThread("named");
    registry.UnregisterThread();
    DebugLogStopIfNoSink();
    ASSERT_EQ(journal.Texts(LogOutputKind::File).size(), 2u);
    EXPECT_THAT(journal.Texts(LogOutputKind::File)[0], HasSubstr(L"EVENT=Register_thread"));
    EXPECT_THAT(journal.Texts(LogOutputKind::File)[1], HasSubstr(L"EVENT=Unregister_thread"));
}

TEST(ProcessLoggerTest, ACrashIsWrittenToTheLogFileBeforeTheProcessEnds)
{
    ScopedTempFolder folder;
    const std::wstring file = folder / L"crash.txt";
    std::string output;
    EXPECT_EQ(static_cast<DWORD>(RunToEnd(L"logger-crash-child.exe", L"\"" + file + L"\"", output, 30000)),
              0xFFFFFFFEu)
        << output;
    const auto lines = SplitCrLfLines(ReadFileBytes(file));
    std::vector<std::string> texts;
    for (const std::string& line : lines) {
        const std::size_t text = line.find("} ");
        texts.push_back(text == std::string::npos ? line : line.substr(text + 2));
    }
    const auto at = [&](const std::string& start) {
        for (std::size_t i = 0; i < texts.size(); ++i) {
            if (texts[i].rfind(start, 0) == 0) {
                return static_cast<int>(i);
            }
        }
        return -1;
    };
    const int before = at("before the fault");
    const int caught = at("DefaultHandler - exception caught thread Id=0x");
    const int code = at("Exception code: C0000005 ACCESS_VIOLATION");
    const int begin = at("------------------Begin Stack Trace------------------");
    const int fault = at("PrintThreadCallStackFrame - Symbol Information: LoggerCrashChildFault");
    const int end = at("------------------End Stack Trace------------------");
    EXPECT_GE(before, 0) << output;
    EXPECT_GT(caught, before);
    EXPECT_EQ(texts[caught + 1], "DefaultHandler - Killing program");
    EXPECT_GT(code, caught);
    EXPECT_GT(begin, code);
    EXPECT_GT(end, begin);
    EXPECT_GT(fault, begin);
    EXPECT_LT(fault, end);
    EXPECT_EQ(lines.back(), "====== END OF LOG ======");
}

TEST(ProcessLoggerTest, ProducersStillLoggingWhileTheProcessEndsDoNotFault)
{
    std::string output;
    EXPECT_EQ(RunToEnd(L"logger-exit-child.exe", L"", output, 30000), 0) << output;
    EXPECT_THAT(output, HasSubstr("producers running"));
}

}  // namespace
