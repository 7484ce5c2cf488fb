// The syslog output against receivers of the test's own on loopback: the
// receiver list, the exact bytes of each line form, the counter, the cut,
// and TCP connections that come and go; and the whole logger, with these
// receivers, the file and the event log, started and stopped many times.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/logger/debug_log_settings.h"
#include "common/logger/debug_logger.h"
#include "common/logger/syslog_output.h"
#include "file_contents.h"
#include "process_census.h"
#include "scoped_temp_folder.h"
#include "wait_until.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const SYSTEMTIME kTime = {2026, 12, 3, 9, 14, 3, 7, 45};

struct Winsock {
    Winsock()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~Winsock() { WSACleanup(); }
};

class Socket {
public:
    explicit Socket(SOCKET socket = INVALID_SOCKET) : socket_(socket) {}
    ~Socket() { Reset(); }
    Socket(Socket&& other) noexcept : socket_(other.socket_) { other.socket_ = INVALID_SOCKET; }
    Socket& operator=(Socket&& other) noexcept
    {
        Reset();
        std::swap(socket_, other.socket_);
        return *this;
    }
    void Reset()
    {
        if (socket_ != INVALID_SOCKET) {
            closesocket(socket_);
            socket_ = INVALID_SOCKET;
        }
    }
    SOCKET get() const { return socket_; }

private:
    SOCKET socket_;
};

sockaddr_in Loopback(u_short port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A socket bound on loopback (port 0: one the system picks).
Socket Bound(int type, u_short port)
{
    Socket socket(::socket(AF_INET, type, 0));
    const BOOL reuse = TRUE;
    setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof(reuse));
    const sockaddr_in address = Loopback(port);
    EXPECT_EQ(bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    return socket;
}

u_short PortOf(const Socket& socket)
{
    sockaddr_in address = {};
    int size = sizeof(address);
    getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

// Waits up to `ms` for data and answers what arrived.
std::string Receive(SOCKET socket, DWORD ms = 5000)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval timeout = {static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
    if (select(0, &readable, nullptr, nullptr, &timeout) != 1) {
        return std::string();
    }
    char buffer[2048];
    const int received = recv(socket, buffer, sizeof(buffer), 0);
    return received > 0 ? std::string(buffer, static_cast<std::size_t>(received)) : std::string();
}

struct ReportSink : LogSink {
    std::vector<std::wstring> texts;
    void Write(const wchar_t* text) override { texts.emplace_back(text); }
};

class SyslogOutputTest : public ::testing::Test {
protected:
    SyslogOutputTest()
    {
        logger_.AttachSink(&reports_);
        DebugLogConfig& c = logger_.MutableConfig();
        c.eventSourceName = L"RouterSvc";
        c.syslogFacility = 16;
        c.syslogLevel = 3;
    }

    void Start(const std::string& hosts)
    {
        logger_.MutableConfig().syslogHost = hosts;
        output_.StartSyslog();
        output_.ConnectSyslogTargets();
    }

    void Send(const std::wstring& text, const std::wstring* user = nullptr, int level = 2,
              int eventId = 0)
    {
        output_.SendSyslog(kTime, 0x1A4, level, text, eventId, user);
    }

    std::string Header() const { return "<132>Dec 09 14:03:07 " + output_.HostName() + " RouterSvc {0x1A4} "; }

    Winsock winsock_;
    ReportSink reports_;
    DebugLogger logger_;
    SyslogOutput output_{logger_};
};

TEST(SyslogTargetTest, ReceiverListItems)
{
    struct Case {
        const char* item;
        bool valid;
        int type;
        u_short port;
        const char* host;
    } const cases[] = {
        {"loghost", true, SOCK_DGRAM, 514, "loghost"},
        {"host:601", true, SOCK_DGRAM, 601, "host"},
        {"host:601/TCP", true, SOCK_STREAM, 601, "host"},
        {"host:601/tcp", true, SOCK_STREAM, 601, "host"},
        {"10.1.2.3:65535", true, SOCK_DGRAM, 65535, "10.1.2.3"},
        {"host:1", true, SOCK_DGRAM, 1, "host"},
        {"host:0", false, 0, 0, nullptr},
        {"host:65536", false, 0, 0, nullptr},
        {"host:4294967897", false, 0, 0, nullptr},
        {"host:601x", false, 0, 0, nullptr},
        {"host:601/udp", false, 0, 0, nullptr},
        {"host:601/tcpx", false, 0, 0, nullptr},
        {"host:", false, 0, 0, nullptr},
        {"host:abc", false, 0, 0, nullptr},
        {"host:-1", false, 0, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.item);
        SyslogTarget target;
        ASSERT_EQ(ParseSyslogTarget(c.item, target), c.valid);
        if (c.valid) {
            EXPECT_EQ(target.host, c.host);
            EXPECT_EQ(target.socketType, c.type);
            EXPECT_EQ(target.protocol, c.type == SOCK_STREAM ? IPPROTO_TCP : 0);
            EXPECT_EQ(ntohs(target.address.sin_port), c.port);
            EXPECT_EQ(target.state, -1);
            EXPECT_EQ(target.socket.get(), INVALID_SOCKET);
        }
    }
}

TEST_F(SyslogOutputTest, AListBuildsATargetPerItemAndReportsBadItemsOnce)
{
    logger_.MutableConfig().syslogHost = "10.1.2.3,loghost:1514/tcp,bad:0,,worse:601/udp";
    output_.StartSyslog();
    ASSERT_EQ(output_.Targets().size(), 2u);
    EXPECT_EQ(output_.Targets()[0].host, "10.1.2.3");
    EXPECT_EQ(output_.Targets()[0].socketType, SOCK_DGRAM);
    EXPECT_EQ(ntohs(output_.Targets()[0].address.sin_port), 514);
    EXPECT_EQ(output_.Targets()[1].host, "loghost");
    EXPECT_EQ(output_.Targets()[1].socketType, SOCK_STREAM);
    EXPECT_EQ(ntohs(output_.Targets()[1].address.sin_port), 1514);
    EXPECT_THAT(reports_.texts,
                ElementsAre(L"[DIAG] EVENT=Error_connecting_to_Syslog, ERROR=10022, EVENTMSG=\"Error connecting to bad:0\"",
                            L"[DIAG] EVENT=Error_connecting_to_Syslog, ERROR=10022, EVENTMSG=\"Error connecting to worse:601/udp\""));
    output_.StartSyslog();  // already started: nothing again
    EXPECT_EQ(reports_.texts.size(), 2u);
}

TEST_F(SyslogOutputTest, LinesWithAndWithoutHeaderAndUserByteForByte)
{
    const Socket receiver = Bound(SOCK_DGRAM, 0);
    Start("127.0.0.1:" + std::to_string(PortOf(receiver)));
    ASSERT_EQ(output_.Targets().size(), 1u);
    ASSERT_EQ(output_.Targets()[0].state, 1);
    ASSERT_FALSE(output_.HostName().empty());

    const std::wstring user = L"svc";
    const std::wstring empty;
    Send(L"plain");
    Send(L"with user", &user);
    Send(L"empty user", &empty);
    Send(L"identified", nullptr, 1, 0x12345);
    logger_.MutableConfig().addSyslogHeader = false;
    Send(L"no header");
    Send(L"no header, user", &user);
    EXPECT_EQ(Receive(receiver.get()), Header() + "0000: (#20000) plain\n");
    EXPECT_EQ(Receive(receiver.get()), Header() + "0001: (#20000) {svc} with user\n");
    EXPECT_EQ(Receive(receiver.get()), Header() + "0002: (#20000) {} empty user\n");
    EXPECT_EQ(Receive(receiver.get()),
              "<131>Dec 09 14:03:07 " + output_.HostName() + " RouterSvc {0x1A4} 0003: (#09029) identified\n");
    EXPECT_EQ(Receive(receiver.get()), "<132> RouterSvc {0x1A4} 0004: (#20000) no header\n");
    EXPECT_EQ(Receive(receiver.get()), "<132> RouterSvc {0x1A4} 0005: (#20000) {svc} no header, user\n");
    EXPECT_THAT(reports_.texts, ElementsAre(StartsWith(L"[DIAG] EVENT=Syslog_connected, EVENTMSG=\"Connected to 127.0.0.1\"")));
}

TEST_F(SyslogOutputTest, TheCounterWrapsAfter9999AndLevelsOutsideTheSyslogLevelAreNotCounted)
{
    const Socket receiver = Bound(SOCK_DGRAM, 0);
    Start("127.0.0.1:" + std::to_string(PortOf(receiver)));
    output_.SetCounter(9998);
    Send(L"a");
    Send(L"not sent", nullptr, 4);
    Send(L"b");
    Send(L"c");
    EXPECT_THAT(Receive(receiver.get()), HasSubstr(" 9998: "));
    EXPECT_THAT(Receive(receiver.get()), HasSubstr(" 9999: "));
    EXPECT_THAT(Receive(receiver.get()), HasSubstr(" 0000: (#20000) c\n"));
}

TEST_F(SyslogOutputTest, LinesAreCutAt509CharactersNeverInsideASurrogatePair)
{
    const Socket receiver = Bound(SOCK_DGRAM, 0);
    Start("127.0.0.1:" + std::to_string(PortOf(receiver)));
    logger_.MutableConfig().addSyslogHeader = false;
    const std::string head = "<132> RouterSvc {0x1A4} 0000: (#20000) ";
    Send(std::wstring(600, L'x'));
    const std::string line = Receive(receiver.get());
    EXPECT_EQ(line, head + std::string(509 - head.size(), 'x') + "\n");

    // A pair that would straddle the cut is left out whole.
    const std::wstring pair = L"\xD83D\xDE00";
    const std::string head2 = "<132> RouterSvc {0x1A4} 0001: (#20000) ";
    std::wstring text(508 - head2.size(), L'y');
    text += pair + L"zz";
    const std::wstring formatted = FormatSyslogLine(132, kTime, false, L"", L"RouterSvc", 0x1A4, 1, 20000,
                                                    nullptr, text);
    EXPECT_EQ(formatted.size(), 508u);
    EXPECT_EQ(formatted.back(), L'y');
}

TEST_F(SyslogOutputTest, ATcpReceiverThatComesAndGoesIsFollowed)
{
    u_short port = 0;
    {
        const Socket probe = Bound(SOCK_STREAM, 0);  // a free port, then let go
        port = PortOf(probe);
    }
    Start("127.0.0.1:" + std::to_string(port) + "/tcp");
    output_.ConnectSyslogTargets();
    output_.ConnectSyslogTargets();
    ASSERT_EQ(reports_.texts.size(), 1u);
    EXPECT_THAT(reports_.texts[0], StartsWith(L"[DIAG] EVENT=Syslog_disconnected, ERROR="));
    EXPECT_THAT(reports_.texts[0], HasSubstr(L"EVENTMSG=\"Connect failed to 127.0.0.1\""));
    Send(L"lost while down");

    Socket listener = Bound(SOCK_STREAM, port);
    ASSERT_EQ(listen(listener.get(), 1), 0);
    output_.ConnectSyslogTargets();
    ASSERT_EQ(reports_.texts.size(), 2u);
    EXPECT_EQ(reports_.texts[1], L"[DIAG] EVENT=Syslog_connected, EVENTMSG=\"Connected to 127.0.0.1\"");
    Socket accepted(accept(listener.get(), nullptr, nullptr));
    Send(L"first");
    EXPECT_EQ(Receive(accepted.get()), Header() + "0001: (#20000) first\n");

    // The receiver goes away: sends fail once the peer has reset.
    accepted.Reset();
    listener.Reset();
    EXPECT_TRUE(WaitUntil([&] {
        Send(L"into the void");
        return reports_.texts.size() == 3u;
    }));
    EXPECT_THAT(reports_.texts[2], StartsWith(L"[DIAG] EVENT=Syslog_disconnected, ERROR="));
    EXPECT_THAT(reports_.texts[2], HasSubstr(L"EVENTMSG=\"Connection lost to 127.0.0.1\""));
    output_.ConnectSyslogTargets();  // refused again: a lost target says nothing more
    EXPECT_EQ(reports_.texts.size(), 3u);

    listener = Bound(SOCK_STREAM, port);
    ASSERT_EQ(listen(listener.get(), 1), 0);
    output_.ConnectSyslogTargets();
    ASSERT_EQ(reports_.texts.size(), 4u);
    EXPECT_EQ(reports_.texts[3], L"[DIAG] EVENT=Syslog_connected, EVENTMSG=\"Connected to 127.0.0.1\"");
    accepted = Socket(accept(listener.get(), nullptr, nullptr));
    Send(L"again");
    EXPECT_THAT(Receive(accepted.get()), HasSubstr(") again\n"));
}

// A service's logger is started and stopped many times over its life (each
// reload that switches an output, each host restart of the library): every
// start must give back what the previous one took, with the file, syslog over
// UDP and TCP and the event log all in use.
TEST(LoggerLifecycleTest, StartingAndStoppingAgainLeavesNoHandleOrThreadBehind)
{
    const Winsock winsock;
    const Socket udp = Bound(SOCK_DGRAM, 0);
    Socket listener = Bound(SOCK_STREAM, 0);
    ASSERT_EQ(listen(listener.get(), SOMAXCONN), 0);
    std::atomic<int> accepted{0};
    // Takes each connection the logger makes and holds it until the logger
    // closes its end.
    std::thread acceptor([&] {
        for (;;) {
            Socket connection(accept(listener.get(), nullptr, nullptr));
            if (connection.get() == INVALID_SOCKET) {
                return;  // the listener was closed
            }
            ++accepted;
            char discard[512];
            while (recv(connection.get(), discard, sizeof discard, 0) > 0) {
            }
        }
    });
    const ScopedTempFolder folder;
    const std::wstring file = folder / L"lifecycle.txt";
    const std::string hosts = "127.0.0.1:" + std::to_string(PortOf(udp)) + ",127.0.0.1:" +
                              std::to_string(PortOf(listener)) + "/tcp";

    DebugLogger logger;
    int round = 0;
    const auto oneLife = [&] {
        DebugLogSettings settings;
        settings.debugLogLevel = 3;
        settings.syslogLevel = 3;
        settings.eventLogLevel = 1;
        settings.consoleLogLevel = -1;
        std::snprintf(settings.logFile.get(), DebugLogSettings::kLogFileSize, "%ls", file.c_str());
        std::snprintf(settings.syslogHost.get(), DebugLogSettings::kSyslogHostSize, "%s", hosts.c_str());
        ASSERT_TRUE(logger.StartWithSettings(settings));
        ASSERT_TRUE(logger.WaitUntilReady());
        logger.Log(1, 0, 0, (L"life " + std::to_wstring(++round)).c_str(), nullptr);
        logger.Stop();
    };
    oneLife();  // the first start may leave what the system keeps once per process
    ASSERT_TRUE(WaitUntil([&] { return accepted.load() == 1; }));

    const ProcessCensus before = ProcessCensus::Take();
    constexpr int kLives = 20;
    for (int life = 0; life < kLives; ++life) {
        oneLife();
    }
    ASSERT_TRUE(WaitUntil([&] { return accepted.load() == 1 + kLives; }));
    ProcessCensus after;
    // A connection the acceptor has not yet seen end may still hold a handle.
    EXPECT_TRUE(WaitUntil([&] { return (after = ProcessCensus::Take()) == before; }))
        << before << "\n" << after;

    // Every life wrote its record to the file.
    const std::string written = ReadFileBytes(file);
    for (int life = 1; life <= 1 + kLives; ++life) {
        EXPECT_NE(written.find("} life " + std::to_string(life) + "\r\n"), std::string::npos) << life << written;
    }
    listener.Reset();
    acceptor.join();
}

}  // namespace
