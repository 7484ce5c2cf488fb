// logger-host run as a user runs it: a short run from a fresh key with its
// default configuration, and the mistakes a user makes on its command line.

#include <winsock2.h>
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "file_contents.h"
#include "scoped_registry_key.h"
#include "scoped_temp_folder.h"

namespace {

using ::testing::HasSubstr;

// A UDP receiver on a loopback port of its own, standing in for syslog.
class UdpReceiver {
public:
    UdpReceiver()
    {
        WSADATA data;
        started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
        socket_ = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = ::inet_addr("127.0.0.1");
        int size = sizeof(address);
        if (socket_ != INVALID_SOCKET &&
            ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
            ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~UdpReceiver()
    {
        if (socket_ != INVALID_SOCKET) {
            ::closesocket(socket_);
        }
        if (started_) {
            ::WSACleanup();
        }
    }

    int Port() const { return port_; }

    // Every datagram that has arrived so far.
    std::vector<std::string> Take()
    {
        std::vector<std::string> datagrams;
        for (;;) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(socket_, &readable);
            timeval none = {0, 0};
            if (::select(0, &readable, nullptr, nullptr, &none) != 1) {
                return datagrams;
            }
            char buffer[2048];
            const int length = ::recv(socket_, buffer, sizeof(buffer), 0);
            if (length <= 0) {
                return datagrams;
            }
            datagrams.emplace_back(buffer, static_cast<std::size_t>(length));
        }
    }

private:
    bool started_ = false;
    SOCKET socket_ = INVALID_SOCKET;
    int port_ = 0;
};

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());  // the paths here are ASCII
}

// "logger-host thread T record K" for each thread in order from 0; answers
// the number of records found, -1 on a gap or a repeat.
long CountRecords(const std::vector<std::string>& lines, int threads)
{
    std::vector<long> next(static_cast<std::size_t>(threads), 0);
    long count = 0;
    for (const std::string& line : lines) {
        const std::size_t at = line.find("logger-host thread ");
        if (at == std::string::npos) {
            continue;
        }
        int thread = -1;
        long record = -1;
        if (std::sscanf(line.c_str() + at, "logger-host thread %d record %ld", &thread, &record) != 2 ||
            thread < 0 || thread >= threads || record != next[static_cast<std::size_t>(thread)]) {
            ADD_FAILURE() << "out of order: " << line;
            return -1;
        }
        ++next[static_cast<std::size_t>(thread)];
        ++count;
    }
    return count;
}

TEST(LoggerHost, AShortRunWritesEveryOfferedRecordToItsFileAndToSyslog)
{
    ScopedRegistryKey key;
    ScopedTempFolder folder;
    UdpReceiver syslog;
    ASSERT_NE(syslog.Port(), 0);
    const std::wstring file = folder / L"logs\\host.txt";
    const std::wstring arguments = L"--key \"" + Wide(key.Path()) + L"\" --write-defaults --log-file \"" + file +
                                   L"\" --syslog 127.0.0.1:" + std::to_wstring(syslog.Port()) +
                                   L" --threads 2 --rate 20 --duration 2";
    std::string output;
    ASSERT_EQ(RunToEnd(L"logger-host.exe", arguments, output), 0) << output;

    const std::size_t at = output.find("logger-host: records offered: ");
    ASSERT_NE(at, std::string::npos) << output;
    const long offered = std::stol(output.substr(at + 30));
    EXPECT_GT(offered, 0);
    EXPECT_THAT(output, HasSubstr("logger-host: handles at start: "));
    const auto written = key.WideValue("", L"DebugLogFile");
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->type, static_cast<DWORD>(REG_SZ));

    const std::string bytes = ReadFileBytes(file);
    EXPECT_THAT(bytes, ::testing::StartsWith("\xEF\xBB\xBFUTF-8 encoded\r\n"));
    EXPECT_EQ(CountRecords(SplitCrLfLines(bytes), 2), offered);
    std::vector<std::string> lines;
    std::istringstream console(output);
    for (std::string line; std::getline(console, line);) {
        lines.push_back(line);
    }
    EXPECT_EQ(CountRecords(lines, 2), offered) << "the console output";

    const std::vector<std::string> datagrams = syslog.Take();
    EXPECT_EQ(CountRecords(datagrams, 2), offered);
    ASSERT_FALSE(datagrams.empty());
    EXPECT_THAT(datagrams.back(), HasSubstr(" logger-host {0x"));
}

struct BadCommandLine {
    const wchar_t* arguments;
    const char* message;
};

TEST(LoggerHost, RefusesABadCommandLineWithExitCode2AndSaysWhy)
{
    const BadCommandLine cases[] = {
        {L"", "logger-host: --key is required"},
        {L"--key", "logger-host: --key needs a value"},
        {L"--key Software\\X --threads 0", "logger-host: --threads wants a whole number from 1 to 64, not '0'"},
        {L"--key Software\\X --rate fast", "logger-host: --rate wants a whole number from 1 to 10000, not 'fast'"},
        {L"--key Software\\X --duration 5s", "logger-host: --duration wants a whole number"},
        {L"--key Software\\X --verbose", "logger-host: unknown option '--verbose'"},
        {L"--key Software\\X --log-file C:\\x.txt", "logger-host: --log-file is used only with --write-defaults"},
        {L"--key Software\\X --machine --write-defaults", "logger-host: --machine: the defaults are written"},
    };
    for (const BadCommandLine& bad : cases) {
        std::string output;
        EXPECT_EQ(RunToEnd(L"logger-host.exe", bad.arguments, output), 2) << output;
        EXPECT_THAT(output, HasSubstr(bad.message));
    }
}

}  // namespace
