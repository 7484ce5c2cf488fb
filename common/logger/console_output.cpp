#include "common/logger/console_output.h"

#include <cstdio>
#include <cwchar>

#include "common/logger/debug_logger.h"

std::wstring ConsoleLine(const LogRecord& record)
{
    const wchar_t* const format = L"[%05lu] (%02d:%02d:%02d.%03d):{0x%04X} %s\n";
    const unsigned long id = DisplayedRecordId(record.eventId, record.level);
    const SYSTEMTIME& t = record.time;
    // The runtime's own _snwprintf: it reads %s as wide text, as the format
    // means; MinGW's standard swprintf would read it as narrow.
    const int length = _scwprintf(format, id, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds,
                                  record.threadId, record.text.c_str());
    if (length <= 0) {
        return std::wstring();
    }
    std::wstring line(static_cast<std::size_t>(length) + 1, L'\0');
    _snwprintf(&line[0], line.size(), format, id, t.wHour, t.wMinute, t.wSecond,
               t.wMilliseconds, record.threadId, record.text.c_str());
    line.resize(static_cast<std::size_t>(length));
    return line;
}

ConsoleOutput::ConsoleOutput(const DebugLogger& logger) noexcept : logger_(logger) {}

void ConsoleOutput::Write(const LogRecord& record)
{
    if (!logger_.OutputAccepts(LogOutputKind::Console, record.level)) {
        return;
    }
    // The runtime's wide stream output; its result is deliberately not checked.
    std::fputws(ConsoleLine(record).c_str(), stdout);
}
