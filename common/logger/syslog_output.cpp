#include "common/logger/syslog_output.h"

#include <ws2tcpip.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "common/logger/debug_logger.h"
#include "common/util/ansi_text.h"

namespace {

// Lines are cut at this many characters before their line feed.
constexpr std::size_t kSyslogLineLimit = 509;
// What one line may take as multibyte text.
constexpr std::size_t kSyslogLineBytes = 1023;
// Only the first part of the receiver list counts.
constexpr std::size_t kSyslogHostLimit = 2047;
constexpr int kCounterWrap = 10000;

const wchar_t* const kMonths[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                  L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};

bool EqualsIgnoringCase(const std::string& text, const char* other)
{
    return _stricmp(text.c_str(), other) == 0;
}

// The four address bytes, for the connection reports.
struct AddressBytes {
    int a, b, c, d;
};

AddressBytes BytesOf(const sockaddr_in& address)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(&address.sin_addr);
    return {bytes[0], bytes[1], bytes[2], bytes[3]};
}

}  // namespace

bool ParseSyslogTarget(const std::string& item, SyslogTarget& target)
{
    target = SyslogTarget();
    target.address.sin_family = AF_INET;
    const std::size_t colon = item.find(':');
    target.host = item.substr(0, colon);
    unsigned long port = 514;
    if (colon != std::string::npos) {
        const char* const digits = item.c_str() + colon + 1;
        char* end = nullptr;
        if (*digits < '0' || *digits > '9') {
            return false;
        }
        port = std::strtoul(digits, &end, 10);
        const std::string rest = end;
        if (port < 1 || port > 65535) {
            return false;
        }
        if (EqualsIgnoringCase(rest, "/tcp")) {
            target.socketType = SOCK_STREAM;
            target.protocol = IPPROTO_TCP;
        } else if (!rest.empty()) {
            return false;
        }
    }
    target.address.sin_port = htons(static_cast<u_short>(port));
    return true;
}

std::wstring FormatSyslogLine(int pri, const SYSTEMTIME& time, bool addHeader,
                              const std::wstring& hostName, const std::wstring& tag,
                              std::uint32_t threadId, int counter, std::uint32_t id,
                              const std::wstring* user, const std::wstring& text)
{
    wchar_t head[128] = {};
    if (addHeader) {
        const int month = time.wMonth >= 1 && time.wMonth <= 12 ? time.wMonth - 1 : 0;
        _snwprintf(head, 127, L"<%d>%s %02d %02d:%02d:%02d ", pri, kMonths[month], time.wDay,
                   time.wHour, time.wMinute, time.wSecond);
    } else {
        _snwprintf(head, 127, L"<%d> ", pri);
    }
    wchar_t middle[64] = {};
    _snwprintf(middle, 63, L" {0x%X} %04d: (#%05lu) ", threadId, counter,
               static_cast<unsigned long>(id));
    std::wstring line = head;
    if (addHeader) {
        line += hostName + L" ";
    }
    line += tag + middle;
    if (user != nullptr) {
        line += L"{" + *user + L"} ";
    }
    line += text;
    if (line.size() > kSyslogLineLimit) {
        std::size_t cut = kSyslogLineLimit;
        // Never half a surrogate pair.
        if (IS_HIGH_SURROGATE(line[cut - 1])) {
            --cut;
        }
        line.resize(cut);
    }
    return line;
}

SyslogOutput::SyslogOutput(DebugLogger& logger) noexcept : logger_(logger) {}

SyslogOutput::~SyslogOutput()
{
    StopSyslog();
}

void SyslogOutput::ReportEvent(const wchar_t* format, ...)
{
    wchar_t text[kLogTextUnits] = {};
    va_list args;
    va_start(args, format);
    _vsnwprintf(text, kLogTextUnits - 1, format, args);
    va_end(args);
    logger_.Log(4, 0, 0, text, nullptr);
}

void SyslogOutput::StartSyslog()
{
    const DebugLogConfig& c = logger_.Config();
    if (!c.syslogEnabled || started_ || c.syslogHost.empty()) {
        return;
    }
    WSADATA data = {};
    if (::WSAStartup(MAKEWORD(1, 1), &data) != 0) {
        return;
    }
    char name[128] = {};
    hostName_ = ::gethostname(name, sizeof(name) - 1) == 0 ? name : "";
    targets_.clear();
    const std::string hosts = c.syslogHost.substr(0, kSyslogHostLimit);
    for (std::size_t begin = 0; begin <= hosts.size();) {
        const std::size_t comma = hosts.find(',', begin);
        const std::string item =
            hosts.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
        begin = comma == std::string::npos ? hosts.size() + 1 : comma + 1;
        if (item.empty()) {
            continue;
        }
        SyslogTarget target;
        if (ParseSyslogTarget(item, target)) {
            targets_.push_back(std::move(target));
        } else {
            // Not a receiver at all: said once, never sent to.
            ReportEvent(L"[DIAG] EVENT=Error_connecting_to_Syslog, ERROR=%d, EVENTMSG=\"Error connecting to %.256s\"",
                        WSAEINVAL, AnsiToWide(item.c_str()).c_str());
        }
    }
    started_ = true;
}

void SyslogOutput::ConnectSyslogTargets()
{
    if (!started_) {
        return;
    }
    for (SyslogTarget& target : targets_) {
        if (!target.socket) {
            unsigned long address = ::inet_addr(target.host.c_str());
            bool resolved = address != INADDR_NONE;
            if (!resolved) {
                const hostent* const entry = ::gethostbyname(target.host.c_str());
                if (entry != nullptr && entry->h_addrtype == AF_INET && entry->h_addr_list[0] != nullptr) {
                    std::memcpy(&address, entry->h_addr_list[0], sizeof(address));
                    resolved = true;
                }
            }
            if (resolved) {
                target.address.sin_addr.s_addr = address;
                target.socket.reset(::socket(AF_INET, target.socketType, target.protocol));
            }
            if (!resolved || !target.socket) {
                const int error = ::WSAGetLastError();
                if (error != target.lastError) {
                    target.lastError = error;
                    ReportEvent(L"[DIAG] EVENT=Error_connecting_to_Syslog, ERROR=%d, EVENTMSG=\"Error connecting to %.256s\"",
                                error, AnsiToWide(target.host.c_str()).c_str());
                }
                continue;
            }
        }
        if (target.state >= 1) {
            continue;
        }
        const AddressBytes bytes = BytesOf(target.address);
        if (::connect(target.socket.get(), reinterpret_cast<const sockaddr*>(&target.address),
                      sizeof(target.address)) == 0) {
            ReportEvent(L"[DIAG] EVENT=Syslog_connected, EVENTMSG=\"Connected to %d.%d.%d.%d\"",
                        bytes.a, bytes.b, bytes.c, bytes.d);
            target.lastError = 0;
            target.state = 1;
            if (!logger_.Config().blockingSyslog) {
                u_long nonBlocking = 1;
                ::ioctlsocket(target.socket.get(), FIONBIO, &nonBlocking);
            }
            continue;
        }
        const int error = ::WSAGetLastError();
        if (target.state == -1) {
            ReportEvent(L"[DIAG] EVENT=Syslog_disconnected, ERROR=%d, EVENTMSG=\"Connect failed to %d.%d.%d.%d\"",
                        error, bytes.a, bytes.b, bytes.c, bytes.d);
        }
        target.lastError = error;
        target.socket.reset();
        target.state = 0;
    }
}

void SyslogOutput::Disconnect(SyslogTarget& target)
{
    target.socket.reset();
    target.state = 0;
}

void SyslogOutput::SendSyslog(const SYSTEMTIME& time, std::uint32_t threadId, std::int32_t level,
                              const std::wstring& text, std::int32_t eventId,
                              const std::wstring* user)
{
    const DebugLogConfig& c = logger_.Config();
    if (!logger_.OutputAccepts(LogOutputKind::Syslog, level)) {
        return;
    }
    const int pri = (level + 2) | (c.syslogFacility * 8);
    // The text as the receivers' code page can carry it.
    const std::wstring ansiText = AnsiToWide(WideToAnsi(text.c_str()).c_str());
    std::wstring ansiUser;
    if (user != nullptr) {
        ansiUser = AnsiToWide(WideToAnsi(user->c_str()).c_str());
    }
    std::wstring line = FormatSyslogLine(pri, time, c.addSyslogHeader, AnsiToWide(hostName_.c_str()),
                                         c.eventSourceName, threadId, counter_,
                                         DisplayedRecordId(eventId, level),
                                         user != nullptr ? &ansiUser : nullptr, ansiText);
    line += L'\n';
    counter_ = (counter_ + 1) % kCounterWrap;

    char bytes[kSyslogLineBytes + 1] = {};
    bool converted = false;
    for (SyslogTarget& target : targets_) {
        if (!target.socket || target.state != 1) {
            continue;
        }
        if (!converted) {
            const std::size_t length = ::_wcstombs_l(bytes, line.c_str(), kSyslogLineBytes,
                                                    logger_.ConversionLocale());
            if (length == static_cast<std::size_t>(-1)) {
                return;  // not sent to this or any further receiver
            }
            converted = true;
        }
        const int sent = ::send(target.socket.get(), bytes, static_cast<int>(std::strlen(bytes)), 0);
        if (sent > 0) {
            continue;
        }
        target.lastError = ::WSAGetLastError();
        if (target.lastError == WSAEWOULDBLOCK) {
            continue;  // a full buffer: this line is lost for this receiver
        }
        const AddressBytes address = BytesOf(target.address);
        ReportEvent(L"[DIAG] EVENT=Syslog_disconnected, ERROR=%d, EVENTMSG=\"Connection lost to %d.%d.%d.%d\"",
                    target.lastError, address.a, address.b, address.c, address.d);
        Disconnect(target);
    }
}

void SyslogOutput::StopSyslog()
{
    if (!started_) {
        return;
    }
    for (SyslogTarget& target : targets_) {
        Disconnect(target);
        target.lastError = 0;
    }
    ::WSACleanup();
    started_ = false;
}

void SyslogOutput::Write(const LogRecord& record)
{
    SendSyslog(record.time, record.threadId, record.level, record.text, record.eventId,
               record.hasUser ? &record.user : nullptr);
}
