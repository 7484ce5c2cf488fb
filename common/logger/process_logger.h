#pragma once

// Access to the process-wide logger for the entry points. A holder keeps the
// logger from being destroyed until it lets go; after destruction it finds
// none. Keep a hold short: destruction waits for every holder.

#include "common/logger/debug_logger.h"
#include "common/logger/thread_registry.h"
#include "common/thread/thread_hooks.h"

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

// The process-wide logger and thread registry, built with the library's other
// globals (one per process; a second one is private and reachable from
// nowhere). The registry outlives the logger, whose thread unregisters itself
// while the logger stops it.
class ProcessLogger {
public:
    ProcessLogger() noexcept;
    ~ProcessLogger();
    ProcessLogger(const ProcessLogger&) = delete;
    ProcessLogger& operator=(const ProcessLogger&) = delete;

    DebugLogger& Logger() noexcept { return logger_; }
    ThreadRegistry& Registry() noexcept { return registry_; }
    // Makes the two unreachable (the entry points drop what they are offered
    // from then on), waiting for every entry point that holds the logger;
    // the destructor does it too.
    void Withdraw() noexcept;

private:
    ThreadRegistry registry_;
    DebugLogger logger_;
    ThreadHooks previous_;
};
