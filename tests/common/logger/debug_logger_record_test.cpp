// The record path of a logger of its own: gate, check, queue, the logger
// thread's order of outputs, the queue limit, failing outputs, the sink.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <stdexcept>
#include <thread>

#include "common/thread/event.h"
#include "logger_test_support.h"
#include "wait_until.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class DebugLoggerRecordTest : public ::testing::Test {
protected:
    void StartWithLevel(int level, int maxEventQueue = 0)
    {
        outputs_ = InstallMemoryOutputs(logger_, journal_);
        auto settings = SettingsWithLevel(level);
        settings->maxEventQueue = maxEventQueue;
        ASSERT_TRUE(logger_.StartWithSettings(*settings));
        ASSERT_TRUE(logger_.WaitUntilReady());
    }

    void Log(int level, const wchar_t* format, ...)
    {
        va_list args;
        va_start(args, format);
        logger_.LogChecked(LogCharKind::Wide, level, 0, nullptr, format, args);
        va_end(args);
    }

    void LogNarrow(const char* user, int level, int eventId, const char* format, ...)
    {
        va_list args;
        va_start(args, format);
        logger_.LogChecked(LogCharKind::Narrow, level, eventId, user, format, args);
        va_end(args);
    }

    // Stopping writes out everything queued before the thread ends.
    void StopLogger() { logger_.Stop(); }

    MemoryOutput& Output(LogOutputKind kind) { return *outputs_[static_cast<int>(kind)]; }

    OutputJournal journal_;
    DebugLogger logger_;
    std::vector<MemoryOutput*> outputs_;
};

TEST_F(DebugLoggerRecordTest, RecordsOfferedBeforeStartOrAfterStopAreDropped)
{
    outputs_ = InstallMemoryOutputs(logger_, journal_);
    Log(3, L"before start");
    logger_.Log(3, 0, 0, L"before start, direct", nullptr);
    EXPECT_EQ(logger_.QueueLength(), 0u);

    auto settings = SettingsWithLevel(3);
    ASSERT_TRUE(logger_.StartWithSettings(*settings));
    ASSERT_TRUE(logger_.WaitUntilReady());
    Log(3, L"while running");
    StopLogger();
    Log(3, L"after stop");
    logger_.Log(5, 0, 0, L"after stop, direct", nullptr);
    EXPECT_EQ(logger_.QueueLength(), 0u);
    EXPECT_THAT(journal_.Texts(LogOutputKind::File), ElementsAre(L"while running"));
}

TEST_F(DebugLoggerRecordTest, EveryOutputIsOfferedTheRecordInTheFixedOrder)
{
    StartWithLevel(3);
    LogNarrow("operator", 2, 0x12345, "%s=%d", "answer", 42);
    StopLogger();

    const auto records = journal_.Records();
    ASSERT_EQ(records.size(), 4u);
    const LogOutputKind order[] = {LogOutputKind::EventLog, LogOutputKind::Console,
                                   LogOutputKind::Syslog, LogOutputKind::File};
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(OutputName(order[i]));
        EXPECT_EQ(records[i].kind, order[i]);
        const LogRecord& record = records[i].record;
        EXPECT_EQ(record.text, L"answer=42");
        EXPECT_EQ(record.user, L"operator");
        EXPECT_EQ(record.eventId, 0x12345);
        EXPECT_EQ(record.level, 2);
        EXPECT_EQ(record.threadId, ::GetCurrentThreadId());
    }
    EXPECT_EQ(DisplayedRecordId(records[0].record.eventId, 2), 0x2345u);
    EXPECT_EQ(DisplayedRecordId(0, 3), 30000u);
    EXPECT_THAT(journal_.Events(), ElementsAre("open syslog", "open eventlog", "open file",
                                               "close file", "close eventlog", "close syslog"));
}

TEST_F(DebugLoggerRecordTest, LevelGateAndEachOutputsOwnLevel)
{
    outputs_ = InstallMemoryOutputs(logger_, journal_);
    auto settings = SettingsWithLevel(0);
    settings->debugLogLevel = 4;
    settings->syslogLevel = 2;
    ASSERT_TRUE(logger_.StartWithSettings(*settings));
    ASSERT_TRUE(logger_.WaitUntilReady());

    struct Case {
        int level;
        bool passesGate;
    } const cases[] = {{0, true}, {2, true}, {4, true}, {5, true}, {6, false}, {15, false}};
    for (const Case& c : cases) {
        EXPECT_EQ(logger_.PassesLevelGate(c.level), c.passesGate) << c.level;
        Log(c.level, L"level %d", c.level);
    }
    StopLogger();
    EXPECT_THAT(journal_.Texts(LogOutputKind::File),
                ElementsAre(L"level 0", L"level 2", L"level 4", L"level 5"));
    EXPECT_THAT(journal_.Texts(LogOutputKind::Syslog),
                ElementsAre(L"level 0", L"level 2", L"level 5"));
    EXPECT_THAT(journal_.Texts(LogOutputKind::EventLog), ElementsAre(L"level 0", L"level 5"));
}

TEST_F(DebugLoggerRecordTest, LevelFivePassesWhenEveryLevelIsZero)
{
    StartWithLevel(0);
    Log(5, L"always");
    Log(1, L"never");
    StopLogger();
    EXPECT_THAT(journal_.Texts(LogOutputKind::Console), ElementsAre(L"always"));
}

TEST_F(DebugLoggerRecordTest, TrailingWhiteSpaceIsRemoved)
{
    StartWithLevel(3);
    Log(3, L"text \t\r\n");
    Log(3, L" \r\n\t ");
    Log(3, L"  inner  space\n");
    StopLogger();
    EXPECT_THAT(journal_.Texts(LogOutputKind::File), ElementsAre(L"text", L"", L"  inner  space"));
}

TEST_F(DebugLoggerRecordTest, AnEntryWhoseArgumentsDoNotFitIsReplacedByTheReport)
{
    StartWithLevel(3);
    Log(3, L"count %I32d", 5);
    LogNarrow(nullptr, 2, 0x10007, "%s and %n", "text", static_cast<int*>(nullptr));
    StopLogger();

    const auto records = journal_.Records();
    ASSERT_EQ(records.size(), 8u);
    EXPECT_EQ(records[0].record.level, 5);
    EXPECT_EQ(records[0].record.eventId, 0);
    EXPECT_EQ(records[0].record.text,
              L"Invalid log entry - Level:3, EventId:0(0x00000000), Format:count %I32d, "
              L"User:<null>, ArgCount:0, Args:<null>");
    EXPECT_EQ(records[4].record.text,
              L"Invalid log entry - Level:2, EventId:7(0x00010007), Format:%s and %n, "
              L"User:<null>, ArgCount:2, Args:arg[1](char*)=text arg[2](int*)=BAD_PTR(0000000000000000)");
}

TEST_F(DebugLoggerRecordTest, TheSinkTakesEveryTextInsteadOfTheQueue)
{
    struct Sink : LogSink {
        std::vector<std::wstring> texts;
        void Write(const wchar_t* text) override { texts.emplace_back(text); }
    } sink;
    EXPECT_FALSE(logger_.AttachSink(nullptr));
    EXPECT_TRUE(logger_.HasNoSink());
    EXPECT_TRUE(logger_.AttachSink(&sink));
    EXPECT_TRUE(logger_.IsReady());
    EXPECT_FALSE(logger_.HasNoSink());

    Log(3, L"to the sink %d  \n", 1);
    logger_.Log(9, 0, 0, L"any level", nullptr);
    EXPECT_THAT(sink.texts, ElementsAre(L"to the sink 1", L"any level"));
    EXPECT_EQ(logger_.QueueLength(), 0u);
    logger_.StopIfNoSink();  // nothing runs, and a sink keeps it from stopping
    EXPECT_TRUE(logger_.IsReady());
}

TEST_F(DebugLoggerRecordTest, RecordsOfSeveralProducersAllArriveInOrderPerThread)
{
    StartWithLevel(3);
    constexpr int kThreads = 4;
    constexpr int kRecords = 500;
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([this, t] {
            for (int i = 0; i < kRecords; ++i) {
                Log(3, L"%d %d", t, i);
            }
        });
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
    StopLogger();

    const auto texts = journal_.Texts(LogOutputKind::File);
    ASSERT_EQ(texts.size(), static_cast<std::size_t>(kThreads * kRecords));
    int next[kThreads] = {};
    for (const std::wstring& text : texts) {
        int thread = -1;
        int index = -1;
        ASSERT_EQ(swscanf(text.c_str(), L"%d %d", &thread, &index), 2);
        ASSERT_GE(thread, 0);
        ASSERT_LT(thread, kThreads);
        EXPECT_EQ(index, next[thread]++) << "thread " << thread;
    }
}

std::uint64_t Ticks(const SYSTEMTIME& local)
{
    FILETIME time;
    EXPECT_TRUE(::SystemTimeToFileTime(&local, &time));
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Written records are filled again by later producers: nothing of an earlier
// record (its user, identifier, level, thread, long text or time) may show
// in a later one.
TEST_F(DebugLoggerRecordTest, ARecordFilledAgainCarriesNothingOfTheOneBefore)
{
    StartWithLevel(4);
    const std::string longText(900, 'x');
    for (int round = 0; round < 6; ++round) {
        std::thread([&] { LogNarrow("alice", 4, 42, "%s", longText.c_str()); }).join();
        ASSERT_TRUE(WaitUntil([&] { return journal_.Texts(LogOutputKind::File).size() == 2u * round + 1; }));

        SYSTEMTIME before;
        SYSTEMTIME after;
        ::GetLocalTime(&before);
        Log(3, L"plain %d", round);
        ::GetLocalTime(&after);
        ASSERT_TRUE(WaitUntil([&] { return journal_.Texts(LogOutputKind::File).size() == 2u * round + 2; }));

        const LogRecord plain = journal_.Records().back().record;
        EXPECT_EQ(L"plain " + std::to_wstring(round), plain.text);
        EXPECT_FALSE(plain.hasUser);
        EXPECT_TRUE(plain.user.empty());
        EXPECT_EQ(0, plain.eventId);
        EXPECT_EQ(3, plain.level);
        EXPECT_EQ(::GetCurrentThreadId(), plain.threadId);
        // Local times read to the millisecond around the call bound it.
        EXPECT_LE(Ticks(before) / 10000, Ticks(plain.time) / 10000);
        EXPECT_LE(Ticks(plain.time) / 10000, Ticks(after) / 10000);
    }
    StopLogger();
}

// The logger thread is held inside the file output while a backlog builds
// up; its draining then sees exactly known queue lengths.
struct QueueLimitCase {
    int backlog;
    // Indices of the backlog's records after which each event comes, in the
    // file's order, and the first record offered to every output again.
    std::vector<std::wstring> fileTexts;
    std::vector<std::wstring> consoleTexts;
};

std::vector<std::wstring> Backlog(int first, int last)
{
    std::vector<std::wstring> texts;
    for (int i = first; i <= last; ++i) {
        texts.push_back(L"r" + std::to_wstring(i));
    }
    return texts;
}

template <typename... Parts>
std::vector<std::wstring> Join(Parts... parts)
{
    std::vector<std::wstring> all;
    for (const auto& part : {parts...}) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

const std::vector<std::wstring> kBlocker = {L"blocker"};
const std::vector<std::wstring> kExceeded = {
    L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Exceeded, EVENTMSG=\"Dropping messages except for log file\""};
const std::vector<std::wstring> kWarning = {
    L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Warning, EVENTMSG=\"Event queue has exceeded 75%\""};
const std::vector<std::wstring> kEnabled = {
    L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Enabled, EVENTMSG=\"Event queue has dropped "
    L"below 50%, re-enabling all logging.\""};

class QueueLimitTest : public DebugLoggerRecordTest,
                       public ::testing::WithParamInterface<QueueLimitCase> {};

TEST_P(QueueLimitTest, WarnsDropsAndReenablesAtTheLimits)
{
    Event release(true, false);
    Event blocked(true, false);
    StartWithLevel(3, 100);
    Output(LogOutputKind::File).SetHook([&](const LogRecord& record) {
        if (record.text == L"blocker") {
            blocked.Set();
            release.Wait(-1);
        }
    });
    Log(3, L"blocker");
    ASSERT_EQ(blocked.Wait(10000), 1);
    for (int i = 1; i <= GetParam().backlog; ++i) {
        Log(3, L"r%d", i);
    }
    ASSERT_EQ(logger_.QueueLength(), static_cast<std::size_t>(GetParam().backlog));
    release.Set();
    StopLogger();

    EXPECT_THAT(journal_.Texts(LogOutputKind::File), ElementsAreArray(GetParam().fileTexts));
    EXPECT_THAT(journal_.Texts(LogOutputKind::Console), ElementsAreArray(GetParam().consoleTexts));
    EXPECT_FALSE(logger_.QueueDropping());
    EXPECT_FALSE(logger_.QueueWarned());
    for (const WrittenRecord& written : journal_.Records()) {
        if (written.record.text.rfind(L"[DIAG]", 0) == 0) {
            EXPECT_EQ(written.record.eventId, 0);
            EXPECT_EQ(written.record.threadId, logger_.ThreadId());
            EXPECT_EQ(written.record.level, written.record.text == kExceeded[0] ? 0 : 1);
        }
    }
}

// 120 queued: taking r1 leaves 119 (> 100, dropping), r20 leaves 100 (> 75,
// warning), r71 leaves 49 (< 50, everything again). 80 queued: r1 leaves 79
// (warning only); nothing is ever dropped.
INSTANTIATE_TEST_SUITE_P(
    Backlogs, QueueLimitTest,
    ::testing::Values(
        QueueLimitCase{120,
                       Join(kBlocker, kExceeded, Backlog(1, 19), kWarning, Backlog(20, 70),
                            kEnabled, Backlog(71, 120)),
                       Join(kBlocker, kExceeded, kWarning, kEnabled, Backlog(71, 120))},
        QueueLimitCase{80, Join(kBlocker, kWarning, Backlog(1, 80)),
                       Join(kBlocker, kWarning, Backlog(1, 80))}));

// An output that fails while writing one record: the thread reports it and
// goes on with the next.
struct FailureCase {
    const char* name;
    void (*fail)();
};

void FaultOnNullPointer()
{
    volatile int* volatile target = nullptr;
    *target = 1;
}

void DivideByZero()
{
    volatile int zero = 0;
    volatile int result = 10 / zero;
    (void)result;
}

void ThrowRuntimeError()
{
    throw std::runtime_error("output failed");
}

class OutputFailureTest : public DebugLoggerRecordTest,
                          public ::testing::WithParamInterface<FailureCase> {};

TEST_P(OutputFailureTest, IsReportedAndDrainingGoesOn)
{
    StartWithLevel(3);
    Output(LogOutputKind::Console).SetHook([this](const LogRecord& record) {
        if (record.text == L"fail here") {
            GetParam().fail();
        }
    });
    Log(3, L"before");
    Log(3, L"fail here");
    Log(3, L"after");
    StopLogger();

    const std::wstring handled =
        L"[DIAG] EVENT=DebugLog_Exception, EVENTMSG=\"DebugLog thread exception handled.\"";
    EXPECT_THAT(journal_.Texts(LogOutputKind::EventLog),
                ElementsAre(L"before", L"fail here", handled, L"after"));
    EXPECT_THAT(journal_.Texts(LogOutputKind::Console), ElementsAre(L"before", handled, L"after"));
    EXPECT_THAT(journal_.Texts(LogOutputKind::File), ElementsAre(L"before", handled, L"after"));
    EXPECT_FALSE(logger_.IsRunning());
}

INSTANTIATE_TEST_SUITE_P(Failures, OutputFailureTest,
                         ::testing::Values(FailureCase{"AccessViolation", &FaultOnNullPointer},
                                           FailureCase{"DivideByZero", &DivideByZero},
                                           FailureCase{"CppException", &ThrowRuntimeError}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
