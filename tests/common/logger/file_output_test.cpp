// The log file on real files in a private folder: names, encodings and
// header, where writing continues, the record lines, wrap and roll, the day
// change and the report after each open.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "common/logger/debug_logger.h"
#include "common/logger/file_output.h"
#include "common/logger/log_entry_points.h"
#include "common/logger/log_file_naming.h"
#include "common/logger/thread_registry.h"
#include "file_contents.h"
#include "logger_test_support.h"
#include "scoped_temp_folder.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// 9 December 2026, 14:03:07.045: the time of every record and open below,
// unless a test moves the clock.
SYSTEMTIME g_now = {2026, 12, 3, 9, 14, 3, 7, 45};

void TestClock(SYSTEMTIME* now)
{
    *now = g_now;
}

const char kLine2[] = "[20000] (12/09 14:03:07.045):{0x1A4} ";
const char kMarker[] = "====== END OF LOG ======";

std::string Utf16(const std::string& ascii)
{
    std::string bytes;
    for (char c : ascii) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    std::ofstream out(path.c_str(), std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class FileOutputTest : public ::testing::Test {
protected:
    FileOutputTest()
    {
        g_now = {2026, 12, 3, 9, 14, 3, 7, 45};
        output_.SetLocalTimeSource(&TestClock);
        DebugLogConfig& c = Config();
        c.logFile = folder_ / L"Svc.txt";
        c.debugLogLevel = 2;  // no report after the open
        c.reportEnvironment = false;
    }

    DebugLogConfig& Config() { return logger_.MutableConfig(); }
    std::string Bytes(const std::wstring& name) const { return ReadFileBytes(folder_ / name); }
    std::int64_t Write(const std::wstring& text, const std::wstring& user = L"", int level = 2,
                       int eventId = 0)
    {
        return output_.WriteFileRecord(g_now, 0x1A4, level, text, eventId, user);
    }
    void WriteRecord(const std::wstring& text)
    {
        LogRecord record;
        record.threadId = 0x1A4;
        record.level = 2;
        record.text = text;
        record.time = g_now;
        output_.Write(record);
    }

    ScopedTempFolder folder_;
    DebugLogger logger_;
    FileOutput output_{logger_};
};

TEST_F(FileOutputTest, RecordLinesWithAndWithoutUserAndIdentifier)
{
    ASSERT_TRUE(output_.OpenLogFile());
    EXPECT_EQ(output_.FileName(), folder_ / L"Svc.txt");
    Write(L"started");
    Write(L"with user", L"svc");
    Write(L"with identifier", L"", 1, 0x12345);
    Write(L"always", L"", 5);
    EXPECT_EQ(Write(L"above the file's level", L"", 3), 0);
    output_.CloseLogFile();
    EXPECT_EQ(Bytes(L"Svc.txt"),
              std::string(kLine2) + "started\r\n" + kLine2 + "{svc} with user\r\n" +
                  "[09029] (12/09 14:03:07.045):{0x1A4} with identifier\r\n" +
                  "[50000] (12/09 14:03:07.045):{0x1A4} always\r\n" + kMarker + "\r\n");
}

TEST_F(FileOutputTest, LongLinesAreCutAndSplitLinesWritesEachLineAlone)
{
    ASSERT_TRUE(output_.OpenLogFile());
    Write(std::wstring(2000, L'x'));
    Write(L"first\r\n\r\nsecond");
    logger_.SetSplitLines(true);
    Write(L"first  \r\n\r\nsecond\n");
    Config().debugLogSize = 0;
    output_.CloseLogFile();

    const auto lines = SplitCrLfLines(Bytes(L"Svc.txt"));
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0].size(), 1023u);
    EXPECT_EQ(lines[0], std::string(kLine2) + std::string(1023 - 37, 'x'));
    EXPECT_EQ(lines[1], std::string(kLine2) + "first");
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], "second");
    EXPECT_EQ(lines[4], std::string(kLine2) + "first");
    EXPECT_EQ(lines[5], std::string(kLine2) + "second");
}

struct EncodingCase {
    int encoding;
    std::string header;
    std::string line;  // "café" in the file's encoding
};

class FileEncodingTest : public FileOutputTest, public ::testing::WithParamInterface<EncodingCase> {};

TEST_P(FileEncodingTest, HeaderAndLinesAreWrittenInTheEncoding)
{
    Config().encoding = GetParam().encoding;
    ASSERT_TRUE(output_.OpenLogFile());
    Write(L"caf\u00e9");
    Config().debugLogSize = 0;
    output_.CloseLogFile();
    EXPECT_EQ(Bytes(L"Svc.txt"), GetParam().header + GetParam().line);

    // Opened again, it is continued: the header is there once.
    ASSERT_TRUE(output_.OpenLogFile());
    EXPECT_EQ(output_.DetectFileEncoding(), GetParam().encoding);
    Write(L"caf\u00e9");
    output_.CloseLogFile();
    EXPECT_EQ(Bytes(L"Svc.txt"), GetParam().header + GetParam().line + GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, FileEncodingTest,
    ::testing::Values(
        EncodingCase{0, "", std::string(kLine2) + "caf?\r\n"},
        EncodingCase{1, "\xEF\xBB\xBFUTF-8 encoded\r\n", std::string(kLine2) + "caf\xC3\xA9\r\n"},
        EncodingCase{2, "\xFF\xFE" + Utf16("UTF-16LE encoded\r\n"),
                     Utf16(std::string(kLine2) + "caf") + std::string("\xE9\0", 2) + Utf16("\r\n")}));

TEST_F(FileOutputTest, AFileOfAnotherEncodingIsLeftAloneForANewNumberedOne)
{
    const std::string utf8 = "\xEF\xBB\xBFUTF-8 encoded\r\nkept\r\n";
    WriteBytes(folder_ / L"Svc.txt", utf8);
    Config().encoding = 2;
    ASSERT_TRUE(output_.OpenLogFile());
    EXPECT_EQ(output_.FileName(), folder_ / L"Svc_000.txt");
    output_.CloseLogFile();
    EXPECT_EQ(Bytes(L"Svc.txt"), utf8);
    EXPECT_EQ(Bytes(L"Svc_000.txt"),
              "\xFF\xFE" + Utf16("UTF-16LE encoded\r\n") + Utf16(std::string(kMarker) + "\r\n"));
}

struct ContinueCase {
    const char* name;
    std::string before;
    std::int32_t debugLogSize;
    std::size_t continueAt;  // where the new line begins
};

class ContinueTest : public FileOutputTest, public ::testing::WithParamInterface<ContinueCase> {};

TEST_P(ContinueTest, WritingContinuesWhereTheNewestTextStops)
{
    const ContinueCase& c = GetParam();
    WriteBytes(folder_ / L"Svc.txt", c.before);
    Config().debugLogSize = c.debugLogSize;
    ASSERT_TRUE(output_.OpenLogFile());
    Write(L"new");
    std::string expected = c.before;
    const std::string line = std::string(kLine2) + "new\r\n";
    expected.replace(c.continueAt, std::min(line.size(), expected.size() - c.continueAt), line);
    EXPECT_EQ(Bytes(L"Svc.txt"), expected);
}

const std::string kMarked = std::string("line1\r\n") + kMarker + "\r\nolder text that stays behind\r\n";
const std::string kTwoMarkers = std::string("a\r\n") + kMarker + "\r\nolder\r\n" + kMarker + "\r\n";
// The marker across the end of the first 8190-byte chunk.
const std::string kAcrossChunks = std::string(8180, 'x') + "\r\n" + kMarker + "\r\n";

INSTANTIATE_TEST_SUITE_P(
    Files, ContinueTest,
    ::testing::Values(ContinueCase{"AtTheMarker", kMarked, 2000000, 7},
                      ContinueCase{"AtTheEndWithoutMarker", "line1\r\n", 2000000, 7},
                      ContinueCase{"AtTheFirstOfTwoMarkers", kTwoMarkers, 2000000, 3},
                      ContinueCase{"AtAMarkerAcrossChunks", kAcrossChunks, 2000000, 8182},
                      ContinueCase{"AtTheEndWithoutSizeLimit", kMarked, 0, kMarked.size()}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileOutputTest, AWideMarkerAcrossChunksIsFound)
{
    const std::string before = "\xFF\xFE" + Utf16("UTF-16LE encoded\r\n") +
                               Utf16(std::string(4054, 'x') + "\r\n" + kMarker + "\r\nold\r\n");
    WriteBytes(folder_ / L"Svc.txt", before);
    Config().encoding = 2;
    ASSERT_TRUE(output_.OpenLogFile());
    Write(L"new");
    const std::size_t marker = before.find(Utf16(kMarker));
    // It begins before the last 26 bytes of the first chunk and ends after
    // it: found only when the chunks overlap by a whole wide marker.
    ASSERT_LT(marker, 8190u - 26u);
    ASSERT_GT(marker + Utf16(kMarker).size(), 8190u);
    EXPECT_EQ(Bytes(L"Svc.txt").substr(marker, 12), Utf16("[20000"));
}

TEST_F(FileOutputTest, WithoutASizeLimitNoMarkerIsWritten)
{
    Config().debugLogSize = 0;
    ASSERT_TRUE(output_.OpenLogFile());
    Write(L"one");
    output_.CloseLogFile();
    EXPECT_EQ(Bytes(L"Svc.txt"), std::string(kLine2) + "one\r\n");
}

TEST_F(FileOutputTest, WithoutAutoRollTheFileIsWrittenAgainFromItsStart)
{
    Config().debugLogSize = 100;
    ASSERT_TRUE(output_.OpenLogFile());
    WriteRecord(L"first line of the file");   // 59 bytes
    WriteRecord(L"second line of the file");  // 119 bytes: over the limit
    WriteRecord(L"third");
    output_.CloseLogFile();
    const std::string first = std::string(kLine2) + "first line of the file\r\n";
    const std::string second = std::string(kLine2) + "second line of the file\r\n";
    const std::string third = std::string(kLine2) + "third\r\n";
    std::string expected = first + second;
    expected.replace(0, third.size(), third);
    expected.replace(third.size(), std::strlen(kMarker) + 2, std::string(kMarker) + "\r\n");
    EXPECT_EQ(Bytes(L"Svc.txt"), expected);

    // Opened again, writing goes on at the marker, not at the older text.
    ASSERT_TRUE(output_.OpenLogFile());
    Write(L"4");
    EXPECT_EQ(Bytes(L"Svc.txt").substr(third.size(), 40), std::string(kLine2) + "4\r\n");
}

TEST_F(FileOutputTest, WithAutoRollEachOpenAndEachOverflowStartsANumberedFile)
{
    struct Rolls : LogRollCallback {
        int count = 0;
        void LogFileRolled() override { ++count; }
    } rolls;
    logger_.SetRollCallback(&rolls);
    Config().autoRoll = true;
    Config().debugLogSize = 50;
    ASSERT_TRUE(output_.ReopenLogFile());
    EXPECT_EQ(output_.FileName(), folder_ / L"Svc_000.txt");
    WriteRecord(L"fills the first file");
    EXPECT_EQ(output_.FileName(), folder_ / L"Svc_001.txt");
    EXPECT_EQ(rolls.count, 2);
    output_.CloseLogFile();
    EXPECT_THAT(Bytes(L"Svc_000.txt"), StartsWith(std::string(kLine2) + "fills the first file\r\n"));
}

TEST_F(FileOutputTest, StructuredNamesTakeTheNextSequence)
{
    DebugLogConfig& c = Config();
    c.structuredNaming = true;
    c.logFolder = folder_.Path();
    c.ident = L"Id";
    c.instanceNumber = 1;
    c.logFilePrefix = L"P_";
    const std::wstring base = folder_.Path() + L"\\P_" + LocalDnsHostName() + L"_Id_01_";
    ASSERT_TRUE(output_.OpenLogFile());
    EXPECT_EQ(output_.FileName(), base + L"0001.txt");
    output_.CloseLogFile();
    ASSERT_TRUE(output_.OpenLogFile());
    EXPECT_EQ(output_.FileName(), base + L"0001.txt");  // the newest is continued
    output_.CloseLogFile();
    c.autoRoll = true;
    c.debugLogSize = 50;
    ASSERT_TRUE(output_.OpenLogFile());
    EXPECT_EQ(output_.FileName(), base + L"0002.txt");
    WriteRecord(L"fills the second file");
    EXPECT_EQ(output_.FileName(), base + L"0003.txt");
}

TEST_F(FileOutputTest, ADayChangeMovesToTheNextDaysFile)
{
    Config().dailyFile = true;
    ASSERT_TRUE(output_.ReopenLogFile());
    EXPECT_EQ(output_.FileName(), folder_ / L"Svc20261209.txt");
    output_.Maintain();
    EXPECT_EQ(output_.FileName(), folder_ / L"Svc20261209.txt");
    g_now = {2026, 12, 4, 10, 0, 0, 1, 0};
    output_.Maintain();
    EXPECT_EQ(output_.FileName(), folder_ / L"Svc20261210.txt");
    EXPECT_EQ(Config().fileDate.tm_mday, 10);
    EXPECT_THAT(Bytes(L"Svc20261209.txt"), HasSubstr(kMarker));
}

TEST_F(FileOutputTest, EachOpenReportsTheDateAndTheNamedThreads)
{
    ThreadRegistry* const registry = ProcessThreadRegistry();
    ASSERT_NE(registry, nullptr);
    registry->RegisterThread("file-test");
    Config().debugLogLevel = 3;
    ASSERT_TRUE(output_.OpenLogFile());
    output_.CloseLogFile();
    std::string name;
    registry->TakeThreadName(::GetCurrentThreadId(), name);

    char self[16];
    std::snprintf(self, sizeof(self), "0x%lX", ::GetCurrentThreadId());
    const std::string prefix = std::string("[30000] (12/09 14:03:07.045):{") + self + "} ";
    EXPECT_THAT(SplitCrLfLines(Bytes(L"Svc.txt")),
                ElementsAre(prefix + "Current Date: 2026/12/09",
                            prefix + "[DIAG] EVENT=Thread_report, THREADID=" + self +
                                ", THREADNAME=\"file-test\"",
                            kMarker));
}

ULONGLONG g_ticks = 0;

ULONGLONG TestTicks()
{
    return g_ticks;
}

TEST_F(FileOutputTest, AFailedFileIsTriedAgainAfterFiveMinutes)
{
    output_.SetTickSource(&TestTicks);
    g_ticks = 1000000;
    WriteBytes(folder_ / L"blocker", "a file where a folder should be");
    Config().logFile = folder_ / L"blocker\\Svc.txt";
    EXPECT_FALSE(output_.ReopenLogFile());
    Config().logFile = folder_ / L"Svc.txt";  // the cause goes away
    g_ticks += kLogFileRetryMs;
    output_.Maintain();
    EXPECT_FALSE(output_.IsOpen());
    g_ticks += 1;
    output_.Maintain();
    EXPECT_TRUE(output_.IsOpen());
    EXPECT_EQ(output_.FileName(), folder_ / L"Svc.txt");
}

TEST_F(FileOutputTest, TheEnvironmentReportFollowsEachOpenWhenItIsOn)
{
    int reports = 0;
    logger_.SetEnvironmentReport([&reports] { ++reports; });
    Config().debugLogLevel = 3;
    Config().reportEnvironment = true;
    ASSERT_TRUE(output_.ReopenLogFile());
    Config().reportEnvironment = false;
    ASSERT_TRUE(output_.ReopenLogFile());
    Config().reportEnvironment = true;
    Config().debugLogLevel = 2;
    ASSERT_TRUE(output_.ReopenLogFile());
    logger_.SetEnvironmentReport(nullptr);
    EXPECT_EQ(reports, 1);
}

// Failure reports go through the logger; a sink shows them as they come.
struct ReportSink : LogSink {
    std::vector<std::wstring> texts;
    void Write(const wchar_t* text) override { texts.emplace_back(text); }
};

TEST_F(FileOutputTest, ARepeatedFailureIsReportedOnceAndAgainAfterASuccess)
{
    ReportSink sink;
    ASSERT_TRUE(logger_.AttachSink(&sink));
    WriteBytes(folder_ / L"blocker", "a file where a folder should be");
    const std::wstring bad = folder_ / L"blocker\\Svc.txt";
    Config().logFile = bad;
    EXPECT_FALSE(output_.OpenLogFile());
    EXPECT_FALSE(output_.OpenLogFile());
    ASSERT_EQ(sink.texts.size(), 1u);
    EXPECT_THAT(sink.texts[0], StartsWith(L"[DIAG] Could not create debug trace file " + bad + L" : "));

    Config().logFile = folder_ / L"Svc.txt";
    ASSERT_TRUE(output_.OpenLogFile());
    output_.CloseLogFile();
    Config().logFile = bad;
    EXPECT_FALSE(output_.OpenLogFile());
    EXPECT_EQ(sink.texts.size(), 2u);

    // A name beyond 256 characters is refused, never cut into another name.
    Config().logFile = folder_.Path() + L"\\" + std::wstring(300, L'n') + L".txt";
    EXPECT_FALSE(output_.OpenLogFile());
    ASSERT_EQ(sink.texts.size(), 3u);
    EXPECT_THAT(sink.texts[2], StartsWith(L"[DIAG] Could not create debug trace file " + Config().logFile));
}

TEST(FileOutputThreadTest, TheLoggerThreadWritesEveryQueuedRecordAndTheMarker)
{
    ScopedTempFolder folder;
    DebugLogger logger;
    auto settings = SettingsWithLevel(2);
    settings->consoleLogLevel = -1;
    settings->encoding = 1;
    settings->debugLogSize = 2000000;  // a size limit: the marker is written on close
    const std::wstring file = folder / L"Thread.txt";
    std::strcpy(settings->logFile.get(), std::string(file.begin(), file.end()).c_str());
    ASSERT_TRUE(logger.StartWithSettings(*settings));
    ASSERT_TRUE(logger.WaitUntilReady());
    EXPECT_TRUE(logger.IsFileLogging());
    char name[MAX_PATH] = {};
    EXPECT_EQ(logger.GetLogFileName(name, sizeof(name)), file.size());
    for (int i = 0; i < 100; ++i) {
        logger.Log(2, 0, 0x77, (L"record " + std::to_wstring(i)).c_str(), nullptr);
    }
    logger.Stop();
    const auto lines = SplitCrLfLines(ReadFileBytes(file));
    ASSERT_EQ(lines.size(), 102u);
    EXPECT_EQ(lines[0], "\xEF\xBB\xBFUTF-8 encoded");
    for (int i = 0; i < 100; ++i) {
        EXPECT_THAT(lines[1 + i], ::testing::EndsWith("):{0x77} record " + std::to_string(i)));
    }
    EXPECT_EQ(lines[101], kMarker);
}

TEST(FileOutputFailureTest, AFileThatCannotBeCreatedIsReportedOnce)
{
    ScopedTempFolder folder;
    WriteBytes(folder / L"blocker", "a file where a folder should be");
    OutputJournal journal;
    DebugLogger logger;
    for (LogOutputKind kind : {LogOutputKind::EventLog, LogOutputKind::Console, LogOutputKind::Syslog}) {
        logger.SetOutput(kind, std::make_unique<MemoryOutput>(logger, kind, journal));
    }
    auto settings = SettingsWithLevel(3);
    const std::string name = std::string(folder.Path().begin(), folder.Path().end()) + "\\blocker\\Svc.txt";
    std::strcpy(settings->logFile.get(), name.c_str());
    ASSERT_TRUE(logger.StartWithSettings(*settings));
    ASSERT_TRUE(logger.WaitUntilReady());
    logger.Stop();
    EXPECT_FALSE(logger.IsFileLogging());
    const auto texts = journal.Texts(LogOutputKind::Console);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_THAT(texts[0], StartsWith(L"[DIAG] Could not create debug trace file " +
                                     std::wstring(name.begin(), name.end()) + L" : "));
    EXPECT_THAT(texts[0], HasSubstr(L"(error : "));
    EXPECT_EQ(journal.Records()[0].record.eventId, static_cast<std::int32_t>(0xEFFF2710u));
    EXPECT_EQ(journal.Records()[0].record.level, 1);
}

}  // namespace
