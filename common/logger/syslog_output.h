#pragma once

// The logger's network output: each record as one text line to every syslog
// receiver of "SysLogHost", over UDP or TCP, with the connections kept up
// and reconnected by the logger thread's connect pass.

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/logger/log_output.h"
#include "common/util/unique_resource.h"

class DebugLogger;

struct socket_traits {
    using type = SOCKET;
    static type none() noexcept { return INVALID_SOCKET; }
    static void close(type s) noexcept { ::closesocket(s); }
};
using unique_socket = unique_resource<socket_traits>;

struct SyslogTarget {
    std::int32_t lastError = 0;    // last Winsock error reported; 0 after a connect
    std::int32_t state = -1;       // -1 never connected, 0 disconnected, 1 connected
    unique_socket socket;
    std::int32_t socketType = SOCK_DGRAM;
    std::int32_t protocol = 0;     // 0 for UDP, IPPROTO_TCP for TCP
    sockaddr_in address = {};      // port in network order; filled when resolved
    std::string host;              // as configured
};

// One item of the receiver list. False for an item that names no usable
// receiver: a port outside 1..65535, or anything after the port but "/tcp".
bool ParseSyslogTarget(const std::string& item, SyslogTarget& target);

// The line sent for a record, without its line feed; cut at 509 characters,
// never inside a surrogate pair. `user` null = no user.
std::wstring FormatSyslogLine(int pri, const SYSTEMTIME& time, bool addHeader,
                              const std::wstring& hostName, const std::wstring& tag,
                              std::uint32_t threadId, int counter, std::uint32_t id,
                              const std::wstring* user, const std::wstring& text);

class SyslogOutput : public LogOutput {
public:
    explicit SyslogOutput(DebugLogger& logger) noexcept;
    ~SyslogOutput() override;

    void Open() override { StartSyslog(); }
    void Close() override { StopSyslog(); }
    void Connect() override { ConnectSyslogTargets(); }
    bool IsOpen() const override { return started_; }
    void Write(const LogRecord& record) override;

    void StartSyslog();
    void ConnectSyslogTargets();
    void SendSyslog(const SYSTEMTIME& time, std::uint32_t threadId, std::int32_t level,
                    const std::wstring& text, std::int32_t eventId, const std::wstring* user);
    void StopSyslog();

    const std::vector<SyslogTarget>& Targets() const noexcept { return targets_; }
    int Counter() const noexcept { return counter_; }
    void SetCounter(int counter) noexcept { counter_ = counter; }
    const std::string& HostName() const noexcept { return hostName_; }

private:
    void ReportEvent(const wchar_t* format, ...);
    void Disconnect(SyslogTarget& target);

    DebugLogger& logger_;
    std::vector<SyslogTarget> targets_;
    std::string hostName_;
    int counter_ = 0;  // 0-9999
    bool started_ = false;
};
