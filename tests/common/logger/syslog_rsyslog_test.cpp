// The syslog output against a real rsyslog on loopback, started by the
// rsyslog_start CTest fixture (tools/syslog_receiver.sh): what rsyslog parses
// out of the lines the logger sends over UDP and TCP.

#include <winsock2.h>
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "logger_test_support.h"
#include "wait_until.h"

namespace {

// The receiver's folder as a Wine path: the Linux root is drive Z:.
std::string ReceiverPath(const char* name)
{
    std::string path = std::string("Z:") + RSYSLOG_DIR + "/" + name;
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

bool ReadFile(const char* name, std::string& contents)
{
    std::ifstream in(ReceiverPath(name), std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    contents = text.str();
    return true;
}

std::string Trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

// One line of received.txt:
// "pri=P time=Mmm dd hh:mm:ss host=H from=F tag=T msg=M", M to the end.
struct ReceivedLine {
    std::string pri, time, host, from, tag, msg;
};

bool ParseReceived(const std::string& line, ReceivedLine& out)
{
    const char* const keys[] = {"pri=", " time=", " host=", " from=", " tag=", " msg="};
    std::string* const fields[] = {&out.pri, &out.time, &out.host, &out.from, &out.tag, &out.msg};
    std::size_t at = 0;
    for (int i = 0; i < 6; ++i) {
        const std::size_t key = line.find(keys[i], at);
        if (key != at && !(i == 0 && key == 0)) {
            return false;
        }
        const std::size_t start = key + std::strlen(keys[i]);
        const std::size_t end = i == 5 ? line.size() : line.find(keys[i + 1], start);
        if (end == std::string::npos) {
            return false;
        }
        *fields[i] = line.substr(start, end - start);
        at = end;
    }
    return true;
}

// The received line whose message holds `text`, if any yet.
bool FindReceived(const std::string& text, ReceivedLine& found)
{
    std::string contents;
    if (!ReadFile("received.txt", contents)) {
        return false;
    }
    std::istringstream lines(contents);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find(text) != std::string::npos) {
            return ParseReceived(line, found);
        }
    }
    return false;
}

// How rsyslog writes a time stamp (date-rfc3164): the day padded with a blank.
std::string Rfc3164(const SYSTEMTIME& t)
{
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[32];
    std::snprintf(text, sizeof(text), "%s %2u %02u:%02u:%02u", months[t.wMonth - 1], t.wDay,
                  t.wHour, t.wMinute, t.wSecond);
    return text;
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());  // the tests' texts are ASCII
}

class SyslogRsyslogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string reason;
        if (ReadFile("unavailable", reason)) {
            GTEST_SKIP() << "rsyslog is not available: " << Trimmed(reason);
        }
        std::string ports;
        if (!ReadFile("ports", ports)) {
            GTEST_SKIP() << "no rsyslog receiver in " << RSYSLOG_DIR
                         << ": run through ctest, whose rsyslog_start fixture starts it";
        }
        std::istringstream lines(ports);
        std::string line;
        while (std::getline(lines, line)) {
            const std::size_t equals = line.find('=');
            if (equals != std::string::npos) {
                ports_[line.substr(0, equals)] = line.substr(equals + 1);
            }
        }
        ASSERT_EQ(ports_.count("udp"), 1u) << ports;
        ASSERT_EQ(ports_.count("tcp"), 1u) << ports;

        WSADATA data;
        ASSERT_EQ(::WSAStartup(MAKEWORD(1, 1), &data), 0);
        wsaStarted_ = true;
        char name[128] = {};
        ASSERT_EQ(::gethostname(name, sizeof(name) - 1), 0) << ::WSAGetLastError();
        hostName_ = name;
        ASSERT_FALSE(hostName_.empty());
    }

    void TearDown() override
    {
        if (started_) {
            logger_.Stop();
        }
        if (wsaStarted_) {
            ::WSACleanup();
        }
    }

    // A logger of its own whose only real output is syslog, to `host`.
    void StartLogger(const std::string& host, bool addHeader)
    {
        auto settings = std::make_unique<DebugLogSettings>();
        std::snprintf(settings->moduleName.get(), DebugLogSettings::kModuleNameSize, "%s",
                      "RouterSvc");
        std::snprintf(settings->syslogHost.get(), DebugLogSettings::kSyslogHostSize, "%s",
                      host.c_str());
        settings->syslogFacility = 16;
        settings->syslogLevel = 3;
        settings->eventLogLevel = 3;
        // The file (a memory output here) also takes level 4, the logger's
        // own connection events, so the test can wait for "Connected".
        settings->debugLogLevel = 4;
        settings->consoleLogLevel = -1;
        settings->addSyslogHeader = addHeader;
        // The logger's own syslog output stays; the others write to memory,
        // so nothing reaches the event log.
        for (LogOutputKind kind :
             {LogOutputKind::EventLog, LogOutputKind::Console, LogOutputKind::File}) {
            logger_.SetOutput(kind, std::make_unique<MemoryOutput>(logger_, kind, journal_));
        }
        ASSERT_TRUE(logger_.StartWithSettings(*settings));
        started_ = true;
        ASSERT_TRUE(logger_.WaitUntilReady());
        ASSERT_TRUE(WaitUntil([this] { return FileHas(L"[DIAG] EVENT=Syslog_connected"); }))
            << "the logger never connected to " << host;
    }

    bool FileHas(const std::wstring& prefix) const
    {
        for (const std::wstring& text : journal_.Texts(LogOutputKind::File)) {
            if (text.compare(0, prefix.size(), prefix) == 0) {
                return true;
            }
        }
        return false;
    }

    // Logs one level-2 record with a text no other run has, and answers
    // the record as the logger made it (from the memory file output).
    LogRecord LogUnique(const char* transport)
    {
        wchar_t text[128];
        std::swprintf(text, 128, L"rsyslog check %hs pid %lu tick %llu", transport,
                      ::GetCurrentProcessId(), ::GetTickCount64());
        logger_.Log(2, 0, 0, text, nullptr);
        LogRecord record;
        const bool seen = WaitUntil([&] {
            for (const WrittenRecord& written : journal_.Records()) {
                if (written.kind == LogOutputKind::File && written.record.text == text) {
                    record = written.record;
                    return true;
                }
            }
            return false;
        });
        EXPECT_TRUE(seen);
        return record;
    }

    ReceivedLine WaitForReceived(const LogRecord& record)
    {
        ReceivedLine line;
        EXPECT_TRUE(WaitUntil([&] { return FindReceived(Narrow(record.text), line); }, 10000))
            << "rsyslog did not write the record to " << ReceiverPath("received.txt");
        return line;
    }

    // The message part as rsyslog keeps it: everything after what it took
    // as the tag, with the blank before it. The record is the logger's first
    // syslog line (counter 0000) and has no identifier (level 2 x 10000).
    static std::string ExpectedMessage(const std::string& start, const LogRecord& record)
    {
        char head[64];
        std::snprintf(head, sizeof(head), " {0x%X} 0000: (#20000) ", record.threadId);
        return start + head + Narrow(record.text);
    }

    void ExpectHeaderlessLineParsed(const std::string& transport);

    void ExpectHeaderParsed(const std::string& transport)
    {
        const std::string port = ports_[transport];
        StartLogger("127.0.0.1:" + port + (transport == "tcp" ? "/tcp" : ""), true);
        const LogRecord record = LogUnique(transport.c_str());
        const ReceivedLine line = WaitForReceived(record);
        EXPECT_EQ(line.pri, "132");  // facility 16 x 8 + severity 2 + 2
        EXPECT_EQ(line.time, Rfc3164(record.time));
        EXPECT_EQ(line.host, hostName_);
        EXPECT_EQ(line.tag, "RouterSvc");
        EXPECT_EQ(line.msg, ExpectedMessage("", record));
    }

    OutputJournal journal_;
    DebugLogger logger_;
    std::map<std::string, std::string> ports_;
    std::string hostName_;
    bool wsaStarted_ = false;
    bool started_ = false;
};

TEST_F(SyslogRsyslogTest, UdpLineArrivesWithPriorityTimeHostAndTagParsed)
{
    ExpectHeaderParsed("udp");
}

TEST_F(SyslogRsyslogTest, TcpLineArrivesWithPriorityTimeHostAndTagParsed)
{
    ExpectHeaderParsed("tcp");
}

// Without the header the line is "<132> RouterSvc {0x..} ...". rsyslog
// (8.2302) finds no time stamp after the priority, so it takes the time of
// reception, the sender's name (its fromhost) as host and an empty tag,
// and keeps the whole rest, tag and leading blank included, as the message.
void SyslogRsyslogTest::ExpectHeaderlessLineParsed(const std::string& transport)
{
    const std::string port = ports_[transport];
    StartLogger("127.0.0.1:" + port + (transport == "tcp" ? "/tcp" : ""), false);
    SYSTEMTIME before;
    ::GetLocalTime(&before);
    const LogRecord record = LogUnique(transport.c_str());
    const ReceivedLine line = WaitForReceived(record);
    SYSTEMTIME after;
    ::GetLocalTime(&after);

    EXPECT_EQ(line.pri, "132");
    EXPECT_EQ(line.host, line.from);
    EXPECT_EQ(line.tag, "");
    // Reception lies between the two readings; the fixed-width text sorts
    // in time order within one month.
    const std::string first = Rfc3164(before);
    const std::string last = Rfc3164(after);
    EXPECT_TRUE(line.time >= first && line.time <= last)
        << line.time << " not within " << first << " .. " << last;
    EXPECT_EQ(line.msg, ExpectedMessage(" RouterSvc", record));
}

TEST_F(SyslogRsyslogTest, HeaderlessUdpLineGetsReceptionTimeSenderAndNoTag)
{
    ExpectHeaderlessLineParsed("udp");
}

TEST_F(SyslogRsyslogTest, HeaderlessTcpLineGetsReceptionTimeSenderAndNoTag)
{
    ExpectHeaderlessLineParsed("tcp");
}

}  // namespace
