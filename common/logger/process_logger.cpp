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

// Makes the two objects reachable once both are built, and unreachable
// before either goes; the thread hooks follow them.
class ProcessLoggerPublisher {
public:
    ProcessLoggerPublisher(DebugLogger& logger, ThreadRegistry& registry) noexcept
    {
        ::AcquireSRWLockExclusive(&g_lifetimeLock);
        g_logger = &logger;
        g_registry = &registry;
        ::ReleaseSRWLockExclusive(&g_lifetimeLock);
        ThreadHooks hooks = GetThreadHooks();
        hooks.registerThread = &RegisterThreadHook;
        hooks.unregisterThread = &UnregisterThreadHook;
        hooks.log = &LogHook;
        hooks.stopLogger = &DebugLogStopIfNoSink;
        previous_ = SetThreadHooks(hooks);
    }

    ~ProcessLoggerPublisher()
    {
        ThreadHooks hooks = GetThreadHooks();
        hooks.registerThread = previous_.registerThread;
        hooks.unregisterThread = previous_.unregisterThread;
        hooks.log = previous_.log;
        hooks.stopLogger = previous_.stopLogger;
        SetThreadHooks(hooks);
        ::AcquireSRWLockExclusive(&g_lifetimeLock);
        g_logger = nullptr;
        g_registry = nullptr;
        ::ReleaseSRWLockExclusive(&g_lifetimeLock);
    }

    ProcessLoggerPublisher(const ProcessLoggerPublisher&) = delete;
    ProcessLoggerPublisher& operator=(const ProcessLoggerPublisher&) = delete;

private:
    ThreadHooks previous_;
};

// Built in this order and destroyed in reverse: the registry outlives the
// logger, whose thread unregisters itself while the logger stops it.
ThreadRegistry g_threadRegistry;
DebugLogger g_debugLogger;
ProcessLoggerPublisher g_publisher(g_debugLogger, g_threadRegistry);

}  // namespace

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
