// The logger under load and through a file outage: many producer threads
// against the real file and a real syslog receiver (the private rsyslog of
// the rsyslog_start CTest fixture, tools/syslog_receiver.sh), the queue limit
// narrowing the outputs, and a log folder that goes away while running.

#include <winsock2.h>
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/logger/debug_logger.h"
#include "common/logger/file_output.h"
#include "common/util/unique_resource.h"
#include "file_contents.h"
#include "logger_test_support.h"
#include "scoped_temp_folder.h"
#include "wait_until.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr int kProducers = 4;

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());  // the tests' paths and tags are ASCII
}

std::string Utf8(const std::wstring& text)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size,
                          nullptr, nullptr);
    return bytes;
}

// Unique to this run, so that lines of earlier runs in a shared receiver
// file are never counted.
std::wstring RunTag()
{
    wchar_t tag[64] = {};
    _snwprintf(tag, 63, L"run%lu-%llu", ::GetCurrentProcessId(), ::GetTickCount64());
    return tag;
}

// Offers a record the way the library's entry points do: gate, argument
// check, formatting.
void Offer(DebugLogger& logger, int level, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    logger.LogChecked(LogCharKind::Wide, level, 0, nullptr, format, args);
    va_end(args);
}

// Records "<tag> t<thread> s<sequence>" found in `text`, one per line, and
// whether each thread's sequence came complete and in order.
class SequenceCheck {
public:
    SequenceCheck(const std::string& tag, int perThread) : marker_(tag + " t"), perThread_(perThread) {}

    void Line(const std::string& line)
    {
        const std::size_t at = line.find(marker_);
        if (at == std::string::npos) {
            return;
        }
        int thread = -1;
        int sequence = -1;
        if (std::sscanf(line.c_str() + at + marker_.size(), "%d s%d", &thread, &sequence) != 2 ||
            thread < 0 || thread >= kProducers) {
            faults_.push_back("unreadable: " + line);
            return;
        }
        ++seen_;
        if (sequence != next_[thread]) {
            if (faults_.size() < 10) {
                faults_.push_back("thread " + std::to_string(thread) + ": expected s" +
                                  std::to_string(next_[thread]) + ", got: " + line);
            }
            next_[thread] = sequence;
        }
        ++next_[thread];
    }

    void Text(const std::string& bytes)
    {
        std::istringstream lines(bytes);
        std::string line;
        while (std::getline(lines, line)) {
            Line(line);
        }
    }

    int Seen() const { return seen_; }
    bool Complete() const
    {
        for (int thread = 0; thread < kProducers; ++thread) {
            if (next_[thread] != perThread_) {
                return false;
            }
        }
        return faults_.empty() && seen_ == kProducers * perThread_;
    }
    std::string Faults() const
    {
        std::string text;
        for (const std::string& fault : faults_) {
            text += fault + "\n";
        }
        for (int thread = 0; thread < kProducers; ++thread) {
            text += "thread " + std::to_string(thread) + " ended at s" + std::to_string(next_[thread]) + "\n";
        }
        return text + "lines seen: " + std::to_string(seen_);
    }

private:
    std::string marker_;
    int perThread_;
    std::array<int, kProducers> next_{};
    int seen_ = 0;
    std::vector<std::string> faults_;
};

// Each thread offers `perThread` numbered records at level 3; all start
// together.
void RunProducers(DebugLogger& logger, const std::wstring& tag, int perThread)
{
    std::atomic<int> waiting{kProducers};
    std::vector<std::thread> producers;
    for (int thread = 0; thread < kProducers; ++thread) {
        producers.emplace_back([&, thread] {
            waiting.fetch_sub(1);
            while (waiting.load() > 0) {
                std::this_thread::yield();
            }
            for (int sequence = 0; sequence < perThread; ++sequence) {
                Offer(logger, 3, L"%s t%d s%d \x00E9t\x00E9", tag.c_str(), thread, sequence);
            }
        });
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
}

// Counts what passes an output's level test; keeps nothing.
class CountingOutput : public LogOutput {
public:
    CountingOutput(const DebugLogger& logger, LogOutputKind kind) : logger_(logger), kind_(kind) {}
    void Write(const LogRecord& record) override
    {
        if (logger_.OutputAccepts(kind_, record.level)) {
            ++count_;
        }
    }
    std::size_t Count() const { return count_.load(); }

private:
    const DebugLogger& logger_;
    LogOutputKind kind_;
    std::atomic<std::size_t> count_{0};
};

void CopyTo(char* buffer, std::size_t size, const std::string& text)
{
    std::snprintf(buffer, size, "%s", text.c_str());
}

// --------------------------------------------------------------- receiver

// The receiver's folder as a Wine path: the Linux root is drive Z:.
std::wstring ReceiverPath(const char* name)
{
    std::string path = std::string("Z:") + RSYSLOG_DIR + "/" + name;
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return std::wstring(path.begin(), path.end());
}

std::string ReceiverFile(const char* name)
{
    return ReadFileBytes(ReceiverPath(name));
}

// The rsyslog TCP port, or empty with the reason why the receiver is missing.
std::string ReceiverTcpPort(std::string& reason)
{
    if (FileExists(ReceiverPath("unavailable"))) {
        reason = "rsyslog is not available: " + ReceiverFile("unavailable");
        return {};
    }
    std::istringstream lines(ReceiverFile("ports"));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, 4, "tcp=") == 0) {
            return line.substr(4);
        }
    }
    reason = std::string("no rsyslog receiver in ") + RSYSLOG_DIR +
             ": run through ctest, whose rsyslog_start fixture starts it";
    return {};
}

// ------------------------------------------------------------------ cases

// Under Wine every send on a socket is a round trip to the wine server
// (about 0.2 ms each), so this case takes a minute or more: the logger
// thread sends 200,000 lines.
// Blocking TCP: once the connection is up, a line is either handed to the
// connection whole or the loss is reported as a disconnection. So with no
// disconnection every record reaches the receiver, in the order sent.
TEST(LoggerLoadTest, EveryRecordOfFourThreadsReachesTheFileAndTheReceiverOnceInOrder)
{
    std::string reason;
    const std::string port = ReceiverTcpPort(reason);
    if (port.empty()) {
        GTEST_SKIP() << reason;
    }
    const std::size_t receivedBefore = ReceiverFile("received.txt").size();

    constexpr int kPerThread = 50000;
    ScopedTempFolder folder;
    const std::wstring file = folder / L"Load.txt";
    DebugLogger logger;
    auto eventLog = std::make_unique<CountingOutput>(logger, LogOutputKind::EventLog);
    auto console = std::make_unique<CountingOutput>(logger, LogOutputKind::Console);
    CountingOutput& eventLogCount = *eventLog;
    CountingOutput& consoleCount = *console;
    logger.SetOutput(LogOutputKind::EventLog, std::move(eventLog));
    logger.SetOutput(LogOutputKind::Console, std::move(console));

    auto settings = SettingsWithLevel(3);
    settings->debugLogLevel = 4;  // the connection events too
    settings->encoding = 1;
    settings->debugLogSize = 0;   // no wrap: the file holds everything
    CopyTo(settings->moduleName.get(), DebugLogSettings::kModuleNameSize, "LoadSvc");
    CopyTo(settings->logFile.get(), DebugLogSettings::kLogFileSize, Narrow(file));
    CopyTo(settings->syslogHost.get(), DebugLogSettings::kSyslogHostSize, "127.0.0.1:" + port + "/tcp");
    ASSERT_TRUE(logger.StartWithSettings(*settings));
    ASSERT_TRUE(logger.WaitUntilReady());
    ASSERT_TRUE(WaitUntil([&] {
        return ReadFileBytes(file).find("[DIAG] EVENT=Syslog_connected") != std::string::npos;
    })) << "no connection to the receiver on port " << port;

    const std::wstring tag = RunTag();
    RunProducers(logger, tag, kPerThread);
    logger.Stop();  // writes out everything queued

    const std::string bytes = ReadFileBytes(file);
    ASSERT_THAT(bytes, StartsWith("\xEF\xBB\xBFUTF-8 encoded\r\n"));
    EXPECT_THAT(bytes, ::testing::Not(HasSubstr("Syslog_disconnected")));
    SequenceCheck inFile(Narrow(tag), kPerThread);
    for (const std::string& line : SplitCrLfLines(bytes)) {
        inFile.Line(line);
        if (line.find(Narrow(tag)) != std::string::npos) {
            ASSERT_THAT(line, ::testing::EndsWith(" \xC3\xA9t\xC3\xA9")) << "not UTF-8";
        }
    }
    EXPECT_TRUE(inFile.Complete()) << inFile.Faults();
    EXPECT_EQ(eventLogCount.Count(), consoleCount.Count());
    EXPECT_EQ(consoleCount.Count(), static_cast<std::size_t>(kProducers * kPerThread));

    // The receiver writes what it takes in batches: poll its file.
    SequenceCheck received(Narrow(tag), kPerThread);
    const ULONGLONG deadline = ::GetTickCount64() + 60000;
    for (;;) {
        received = SequenceCheck(Narrow(tag), kPerThread);
        const std::string all = ReceiverFile("received.txt");
        received.Text(all.size() > receivedBefore ? all.substr(receivedBefore) : std::string());
        if (received.Seen() >= kProducers * kPerThread || ::GetTickCount64() > deadline) {
            break;
        }
        ::Sleep(100);
    }
    EXPECT_TRUE(received.Complete()) << received.Faults();
}

// Blocks the logger thread inside a chosen record until released, so that
// a backlog of exactly known size builds up behind it.
class Gate {
public:
    Gate()
        : blocked_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          release_(::CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
    }
    ~Gate() { Release(); }
    void Pass(const LogRecord& record)
    {
        if (record.text == kText) {
            ::SetEvent(blocked_.get());
            ::WaitForSingleObject(release_.get(), 60000);
        }
    }
    bool WaitBlocked() { return ::WaitForSingleObject(blocked_.get(), 10000) == WAIT_OBJECT_0; }
    void Release() { ::SetEvent(release_.get()); }

    static constexpr const wchar_t* kText = L"gate";

private:
    unique_handle blocked_;
    unique_handle release_;
};

const wchar_t kExceeded[] =
    L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Exceeded, EVENTMSG=\"Dropping messages except for log file\"";
const wchar_t kWarning[] =
    L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Warning, EVENTMSG=\"Event queue has exceeded 75%\"";
const wchar_t kEnabled[] =
    L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Enabled, EVENTMSG=\"Event queue has dropped below "
    L"50%, re-enabling all logging.\"";

// The text of a file record line: what follows "):{0x...} ".
std::string LineText(const std::string& line)
{
    const std::size_t brace = line.find("):{0x");
    const std::size_t end = brace == std::string::npos ? std::string::npos : line.find("} ", brace);
    return end == std::string::npos ? std::string() : line.substr(end + 2);
}

// A limit of 100 and a backlog of 1000: the first take (999 left) starts
// dropping; every record goes to the file alone until fewer than 50 are
// left; the three events are written to every output directly. On the way
// down the 75% warning, not yet given, is given at 100 left.
TEST(LoggerLoadTest, OverTheQueueLimitOnlyTheFileTakesRecordsUntilTheBacklogHalves)
{
    constexpr int kPerThread = 250;
    constexpr int kTotal = kProducers * kPerThread;
    ScopedTempFolder folder;
    const std::wstring file = folder / L"Queue.txt";
    OutputJournal journal;
    Gate gate;
    DebugLogger logger;
    const LogOutputKind others[] = {LogOutputKind::EventLog, LogOutputKind::Console, LogOutputKind::Syslog};
    for (LogOutputKind kind : others) {
        auto output = std::make_unique<MemoryOutput>(logger, kind, journal);
        if (kind == LogOutputKind::EventLog) {
            output->SetHook([&gate](const LogRecord& record) { gate.Pass(record); });
        }
        logger.SetOutput(kind, std::move(output));
    }
    auto settings = SettingsWithLevel(3);
    settings->maxEventQueue = 100;
    CopyTo(settings->logFile.get(), DebugLogSettings::kLogFileSize, Narrow(file));
    ASSERT_TRUE(logger.StartWithSettings(*settings));
    ASSERT_TRUE(logger.WaitUntilReady());

    logger.Log(3, 0, 0, Gate::kText, nullptr);
    ASSERT_TRUE(gate.WaitBlocked());
    const std::wstring tag = RunTag();
    RunProducers(logger, tag, kPerThread);
    EXPECT_EQ(logger.QueueLength(), static_cast<std::size_t>(kTotal));
    gate.Release();
    logger.Stop();

    // The file: every record, each thread in order, the events where the
    // backlog crossed the marks.
    const std::string narrowTag = Narrow(tag);
    SequenceCheck inFile(narrowTag, kPerThread);
    std::vector<std::string> fileRecords;    // the records in the order written
    std::vector<std::string> fileSequence;   // with the events, as "#<records before>"
    for (const std::string& line : SplitCrLfLines(ReadFileBytes(file))) {
        const std::string text = LineText(line);
        if (text.find(narrowTag) != std::string::npos) {
            inFile.Line(text);
            fileRecords.push_back(text);
        } else if (text.compare(0, 36, "[DIAG] EVENT=DebugLog_Max_Event_Queu") == 0 || text == "gate") {
            fileSequence.push_back(text + " #" + std::to_string(fileRecords.size()));
        }
    }
    EXPECT_TRUE(inFile.Complete()) << inFile.Faults();
    ASSERT_EQ(fileRecords.size(), static_cast<std::size_t>(kTotal));
    const int dropUntil = kTotal - 50;  // the take that leaves 49
    EXPECT_EQ(fileSequence, (std::vector<std::string>{
                                "gate #0", Narrow(kExceeded) + " #0",
                                Narrow(kWarning) + " #" + std::to_string(kTotal - 101),
                                Narrow(kEnabled) + " #" + std::to_string(dropUntil)}));

    // The other outputs: the gate, the three events, and only the records
    // taken once dropping had ended, the same ones as the file's last.
    std::vector<std::string> expected = {"gate", Narrow(kExceeded), Narrow(kWarning), Narrow(kEnabled)};
    expected.insert(expected.end(), fileRecords.begin() + dropUntil, fileRecords.end());
    for (LogOutputKind kind : others) {
        std::vector<std::string> texts;
        for (const std::wstring& text : journal.Texts(kind)) {
            texts.push_back(Utf8(text));
        }
        EXPECT_EQ(texts, expected) << OutputName(kind);
    }
    EXPECT_FALSE(logger.QueueDropping());
}

// The outage test's clock: the date is the test's, the time of day real.
std::atomic<int> g_day{15};
std::atomic<ULONGLONG> g_ticks{1000000};

void OutageClock(SYSTEMTIME* now)
{
    ::GetLocalTime(now);
    now->wYear = 2030;
    now->wMonth = 1;
    now->wDay = static_cast<WORD>(g_day.load());
}

ULONGLONG OutageTicks()
{
    return g_ticks.load();
}

// The folder of the open file goes away (moved; the open file keeps it from
// being deleted), and a plain file takes its name so that the next open
// cannot make it again. The day change closes the file and the open fails:
// one report, however often it is tried, also after the retry period. Once
// the name is free the next record's open makes the folder again.
TEST(LoggerLoadTest, AGoneLogFolderIsReportedOnceAndWritingResumesInItAfterTheRetryPeriod)
{
    ScopedTempFolder folder;
    const std::wstring logs = folder / L"logs";
    OutputJournal journal;
    DebugLogger logger;
    for (LogOutputKind kind : {LogOutputKind::EventLog, LogOutputKind::Console, LogOutputKind::Syslog}) {
        logger.SetOutput(kind, std::make_unique<MemoryOutput>(logger, kind, journal));
    }
    g_day = 15;
    g_ticks = 1000000;
    auto fileOutput = std::make_unique<FileOutput>(logger);
    fileOutput->SetLocalTimeSource(&OutageClock);
    fileOutput->SetTickSource(&OutageTicks);
    logger.SetOutput(LogOutputKind::File, std::move(fileOutput));

    auto settings = SettingsWithLevel(3);
    settings->dailyFile = true;
    settings->debugLogSize = 2000000;  // the end marker on close
    CopyTo(settings->logFile.get(), DebugLogSettings::kLogFileSize, Narrow(logs + L"\\Load.txt"));
    ASSERT_TRUE(logger.StartWithSettings(*settings));
    ASSERT_TRUE(logger.WaitUntilReady());

    const std::wstring first = L"Load20300115.txt";
    const std::wstring second = L"Load20300116.txt";
    auto consoleHas = [&](const std::wstring& text) {
        for (const std::wstring& seen : journal.Texts(LogOutputKind::Console)) {
            if (seen == text) {
                return true;
            }
        }
        return false;
    };
    auto offer = [&](const wchar_t* what, int count) {
        for (int i = 0; i < count; ++i) {
            Offer(logger, 3, L"%s %d", what, i);
        }
    };

    offer(L"before", 5);
    ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(logs + L"\\" + first).find("before 4") != std::string::npos; }));

    const std::wstring moved = folder / L"logs.moved";
    ASSERT_TRUE(::MoveFileW(logs.c_str(), moved.c_str())) << ::GetLastError();
    {
        std::ofstream blocker(logs.c_str(), std::ios::binary);
        blocker << "a file where the folder was";
    }
    g_day = 16;
    offer(L"outage", 5);
    g_ticks += kLogFileRetryMs + 1;
    offer(L"retry", 5);
    // The console takes each record before the file does: once it has the
    // second sync record, the file has been tried for everything before.
    offer(L"sync", 2);
    ASSERT_TRUE(WaitUntil([&] { return consoleHas(L"sync 1"); }));

    // The folder could be made now, but the last failed open was just now:
    // nothing is tried, and nothing written, until the retry period passes.
    ASSERT_TRUE(::DeleteFileW(logs.c_str())) << ::GetLastError();
    offer(L"held", 3);
    offer(L"settle", 2);
    ASSERT_TRUE(WaitUntil([&] { return consoleHas(L"settle 1"); }));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(logs.c_str()));
    g_ticks += kLogFileRetryMs + 1;
    offer(L"after", 5);
    logger.Stop();

    std::vector<LogRecord> reports;
    for (const WrittenRecord& written : journal.Records()) {
        if (written.kind == LogOutputKind::Console &&
            written.record.text.compare(0, 13, L"[DIAG] Could ") == 0) {
            reports.push_back(written.record);
        }
    }
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_THAT(Narrow(reports[0].text),
                StartsWith("[DIAG] Could not create debug trace file " + Narrow(logs + L"\\" + second) + " : "));
    EXPECT_THAT(Narrow(reports[0].text), HasSubstr(" (error : "));
    EXPECT_EQ(reports[0].level, 1);
    EXPECT_EQ(reports[0].eventId, static_cast<std::int32_t>(0xEFFF2710u));

    // The first day's file went with the folder and was closed properly.
    const auto before = SplitCrLfLines(ReadFileBytes(moved + L"\\" + first));
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(before.back(), "====== END OF LOG ======");

    const DWORD attributes = ::GetFileAttributesW(logs.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
    std::vector<std::string> texts;
    for (const std::string& line : SplitCrLfLines(ReadFileBytes(logs + L"\\" + second))) {
        const std::string text = LineText(line);
        // "sync 1" may or may not have been tried before the name was free.
        if (text.find(' ') != std::string::npos && text.compare(0, 4, "Curr") != 0 &&
            text.compare(0, 6, "[DIAG]") != 0 && text != "sync 1") {
            texts.push_back(text);
        }
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"after 0", "after 1", "after 2", "after 3", "after 4"}));
}

}  // namespace
