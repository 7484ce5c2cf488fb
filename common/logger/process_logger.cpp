#include "common/logger/process_logger.h"

#include <windows.h>

#include <atomic>

#include "common/logger/debug_logger.h"
#include "common/logger/log_entry_points.h"
#include "common/logger/thread_registry.h"
#include "common/thread/thread_hooks.h"

namespace {

// Constant-initialised, so valid before the objects below are built and
// after they are gone.
SRWLOCK g_lifetimeLock = SRWLOCK_INIT;
std::atomic<DebugLogger*> g_logger{nullptr};
std::atomic<ThreadRegistry*> g_registry{nullptr};

void RegisterThreadHook(const char* name)
{
    if (ThreadRegistry* const registry = g_registry) {
        registry->RegisterThread(name);
    }
}

void UnregisterThreadHook()
{
    if (ThreadRegistry* const registry = g_registry) {
        registry->UnregisterThread();
    }
}

void LogHook(int level, const char* /*function*/, const wchar_t* message)
{
    DebugLog(level, L"%s", message);
}

ProcessLogger* g_owner = nullptr;

}  // namespace

// Publishes the two objects once both are built and takes them back before
// either goes; the thread hooks follow them.
ProcessLogger::ProcessLogger() noexcept
{
    ::AcquireSRWLockExclusive(&g_lifetimeLock);
    const bool first = g_owner == nullptr;
    if (first) {
        g_owner = this;
        g_logger = &logger_;
        g_registry = &registry_;
    }
    ::ReleaseSRWLockExclusive(&g_lifetimeLock);
    if (!first) {
        return;  // a second one stays private
    }
    ThreadHooks hooks = GetThreadHooks();
    previous_ = hooks;
    hooks.registerThread = &RegisterThreadHook;
    hooks.unregisterThread = &UnregisterThreadHook;
    hooks.log = &LogHook;
    hooks.stopLogger = &DebugLogStopIfNoSink;
    SetThreadHooks(hooks);
}

ProcessLogger::~ProcessLogger()
{
    Withdraw();
}

void ProcessLogger::Withdraw() noexcept
{
    if (g_owner != this) {
        return;
    }
    ThreadHooks hooks = GetThreadHooks();
    hooks.registerThread = previous_.registerThread;
    hooks.unregisterThread = previous_.unregisterThread;
    hooks.log = previous_.log;
    hooks.stopLogger = previous_.stopLogger;
    SetThreadHooks(hooks);
    // Waits for every entry point that holds the logger to let go.
    ::AcquireSRWLockExclusive(&g_lifetimeLock);
    g_logger = nullptr;
    g_registry = nullptr;
    g_owner = nullptr;
    ::ReleaseSRWLockExclusive(&g_lifetimeLock);
}

ProcessLoggerAccess::ProcessLoggerAccess() noexcept
{
    ::AcquireSRWLockShared(&g_lifetimeLock);
    logger_ = g_logger;
}

ProcessLoggerAccess::~ProcessLoggerAccess()
{
    ::ReleaseSRWLockShared(&g_lifetimeLock);
}

DebugLogger* ProcessDebugLogger() noexcept
{
    return g_logger;
}

ThreadRegistry* ProcessThreadRegistry() noexcept
{
    return g_registry;
}
