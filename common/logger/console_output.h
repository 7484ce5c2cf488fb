#pragma once

// The logger's console output: one line per record on standard output.

#include <string>

#include "common/logger/log_output.h"

class DebugLogger;

// "[id] (hh:mm:ss.mmm):{0xthread} text" and a line end; the user string is
// not shown.
std::wstring ConsoleLine(const LogRecord& record);

class ConsoleOutput : public LogOutput {
public:
    explicit ConsoleOutput(const DebugLogger& logger) noexcept;

    // The console needs no state: it is always ready.
    bool IsOpen() const override { return true; }
    void Write(const LogRecord& record) override;

private:
    const DebugLogger& logger_;
};
