#pragma once

// Access to the process-wide logger for the entry points. A holder keeps the
// logger from being destroyed until it lets go; after destruction it finds
// none. Keep a hold short: destruction waits for every holder.

class DebugLogger;

class ProcessLoggerAccess {
public:
    ProcessLoggerAccess() noexcept;
    ~ProcessLoggerAccess();

    ProcessLoggerAccess(const ProcessLoggerAccess&) = delete;
    ProcessLoggerAccess& operator=(const ProcessLoggerAccess&) = delete;

    DebugLogger* get() const noexcept { return logger_; }

private:
    DebugLogger* logger_;
};
