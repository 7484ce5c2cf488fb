#pragma once

// The shapes the logger's outputs and its clients share. Outputs are owned by
// the logger and used by the logger thread alone, so they need no locks.

#include "common/logger/log_record.h"

// The four outputs, in the order a record is offered to them.
enum class LogOutputKind { EventLog = 0, Console = 1, Syslog = 2, File = 3 };
constexpr int kLogOutputCount = 4;

class LogOutput {
public:
    virtual ~LogOutput() = default;

    // When the logger thread starts, and when the settings reload switches
    // this output on; each output decides for itself whether it is enabled.
    virtual void Open() {}
    // When the logger thread ends, and when the reload switches it off.
    virtual void Close() {}
    // Once per pass of the logger thread, before it waits (reconnects).
    virtual void Connect() {}
    // Before each record while file logging is on (day change, retries).
    virtual void Maintain() {}
    // Whether the output has its target open (the file: whether it is open).
    virtual bool IsOpen() const { return false; }
    // Applies the output's own level test, then writes.
    virtual void Write(const LogRecord& record) = 0;
};

// Takes every text the logger is given, instead of the queue and outputs.
class LogSink {
public:
    virtual void Write(const wchar_t* text) = 0;

protected:
    ~LogSink() = default;
};

// Told after each successful reopen of the log file.
class LogRollCallback {
public:
    virtual void LogFileRolled() = 0;

protected:
    ~LogRollCallback() = default;
};
