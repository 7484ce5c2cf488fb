#pragma once

// How Thread reaches the components built on top of it: the logger's thread
// registry and its logging entry, and the stack writer. Those components fill
// the hooks they provide when they start; every hook left empty does nothing.

#include <windows.h>

struct ThreadHooks {
    // Names the calling thread while its body runs, and forgets it again.
    void (*registerThread)(const char* name) = nullptr;
    void (*unregisterThread)() = nullptr;
    // Writes the call stack of `thread` to the log; false when it could not.
    bool (*dumpThreadCallStack)(HANDLE thread, DWORD threadId) = nullptr;
    // One formatted message at a debug-logger level, with "Class::Operation".
    void (*log)(int level, const char* function, const wchar_t* message) = nullptr;
    // Lets the logger write out what it holds before the process ends: stops
    // its thread unless a sink takes the records.
    void (*stopLogger)() = nullptr;
};

// Replaces every hook at once and answers the previous set. Each hook is read
// on its own when it is needed, so a change never tears a call in two.
ThreadHooks SetThreadHooks(const ThreadHooks& hooks) noexcept;
ThreadHooks GetThreadHooks() noexcept;

// The calls Thread makes through the hooks.
void ThreadRegister(const char* name) noexcept;
void ThreadUnregister() noexcept;
// Without a stack writer there is nothing to write: reported as a failure.
bool ThreadDumpCallStack(HANDLE thread, DWORD threadId) noexcept;
void ThreadStopLogger() noexcept;
// Formats (Windows wide printf) into the logger's 2048-unit message buffer.
void ThreadLog(int level, const char* function, const wchar_t* format, ...) noexcept;
