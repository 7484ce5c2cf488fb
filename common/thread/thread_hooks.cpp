#include "common/thread/thread_hooks.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "common/util/log_callback.h"

namespace {

std::atomic<decltype(ThreadHooks::registerThread)> g_registerThread{nullptr};
std::atomic<decltype(ThreadHooks::unregisterThread)> g_unregisterThread{nullptr};
std::atomic<decltype(ThreadHooks::dumpThreadCallStack)> g_dumpThreadCallStack{nullptr};
std::atomic<decltype(ThreadHooks::log)> g_log{nullptr};
std::atomic<decltype(ThreadHooks::stopLogger)> g_stopLogger{nullptr};

}  // namespace

ThreadHooks SetThreadHooks(const ThreadHooks& hooks) noexcept
{
    ThreadHooks previous;
    previous.registerThread = g_registerThread.exchange(hooks.registerThread);
    previous.unregisterThread = g_unregisterThread.exchange(hooks.unregisterThread);
    previous.dumpThreadCallStack = g_dumpThreadCallStack.exchange(hooks.dumpThreadCallStack);
    previous.log = g_log.exchange(hooks.log);
    previous.stopLogger = g_stopLogger.exchange(hooks.stopLogger);
    return previous;
}

ThreadHooks GetThreadHooks() noexcept
{
    ThreadHooks hooks;
    hooks.registerThread = g_registerThread.load();
    hooks.unregisterThread = g_unregisterThread.load();
    hooks.dumpThreadCallStack = g_dumpThreadCallStack.load();
    hooks.log = g_log.load();
    hooks.stopLogger = g_stopLogger.load();
    return hooks;
}

void ThreadRegister(const char* name) noexcept
{
    if (const auto hook = g_registerThread.load()) {
        hook(name);
    }
}

void ThreadUnregister() noexcept
{
    if (const auto hook = g_unregisterThread.load()) {
        hook();
    }
}

bool ThreadDumpCallStack(HANDLE thread, DWORD threadId) noexcept
{
    const auto hook = g_dumpThreadCallStack.load();
    return hook != nullptr && hook(thread, threadId);
}

void ThreadStopLogger() noexcept
{
    if (const auto hook = g_stopLogger.load()) {
        hook();
    }
}

void ThreadLog(int level, const char* function, const wchar_t* format, ...) noexcept
{
    const auto hook = g_log.load();
    if (hook == nullptr) {
        return;
    }
    wchar_t message[kLogMessageUnits];
    va_list args;
    va_start(args, format);
    FormatLogMessage(message, format, args);
    va_end(args);
    hook(level, function, message);
}
