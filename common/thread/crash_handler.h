#pragma once

// The library's last line of defence: a process-wide unhandled-exception
// filter that writes what it knows about the failing thread to the log and
// ends the process; loading functions that put the filter back when a
// library replaced it; a thread that writes another thread's call stack; and
// the C runtime's invalid-parameter handler built on it.

#include <windows.h>

#include <cstdint>

#include "common/thread/thread.h"

using TopLevelFilter = LONG(WINAPI*)(EXCEPTION_POINTERS* pointers);

class DefaultHandler {
public:
    // Installs `filter` (DefaultFilter when null) as the process's
    // unhandled-exception filter; handlers are removed in reverse order.
    explicit DefaultHandler(TopLevelFilter filter = nullptr) noexcept;
    virtual ~DefaultHandler();

    DefaultHandler(const DefaultHandler&) = delete;
    DefaultHandler& operator=(const DefaultHandler&) = delete;

    TopLevelFilter Filter() const noexcept { return filter_; }
    // The most recently installed handler; null when none.
    static DefaultHandler* Head() noexcept;

private:
    TopLevelFilter filter_;
    DefaultHandler* next_;
    // What the system had before this handler installed its filter.
    TopLevelFilter previous_ = nullptr;
};

// Writes the failing thread's exception, registers and stack to the log,
// lets the logger write out what it holds, and ends the process with -2.
LONG WINAPI DefaultFilter(EXCEPTION_POINTERS* pointers);

// The name of an exception code, or the system's text for it, or
// "UNKNOWN_EXCEPTION".
const char* ExceptionName(std::uint32_t code) noexcept;

// LoadLibrary that puts the head handler's filter back afterwards.
HMODULE FilteredLoadLibrary(const char* name) noexcept;
HMODULE FilteredLoadLibrary(const wchar_t* name) noexcept;
HMODULE FilteredLoadLibrary(const char* name, HANDLE file, DWORD flags) noexcept;
HMODULE FilteredLoadLibrary(const wchar_t* name, HANDLE file, DWORD flags) noexcept;
// Sets the head handler's filter again when `any` is not null.
void ReinstallFilter(const void* any) noexcept;

// Writes the call stack of another thread of the process.
class DumperThread : public Thread {
public:
    explicit DumperThread(HANDLE thread) noexcept;
    ~DumperThread() override;

protected:
    void Run() override;

private:
    HANDLE thread_;  // not owned
};

// The C runtime's invalid-parameter callback.
void InvalidParameterHandler(const wchar_t* expression, const wchar_t* function,
                             const wchar_t* file, unsigned int line, uintptr_t reserved);

// Registers InvalidParameterHandler with the C runtime while it lives.
class InvalidParameterHandlerInstaller {
public:
    InvalidParameterHandlerInstaller() noexcept;
    ~InvalidParameterHandlerInstaller();

    InvalidParameterHandlerInstaller(const InvalidParameterHandlerInstaller&) = delete;
    InvalidParameterHandlerInstaller& operator=(const InvalidParameterHandlerInstaller&) = delete;

private:
    void* previous_ = nullptr;
};

// How long the invalid-parameter handler waits for its dumper (15 s); a
// test may shorten it.
void SetDumperWaitMilliseconds(DWORD milliseconds) noexcept;

// What the dumper thread writes the stack with: the process's symbol engine
// when null. A test may put in one that cannot finish. Answers the previous.
using DumperStackWriter = bool (*)(HANDLE thread);
DumperStackWriter SetDumperStackWriter(DumperStackWriter writer) noexcept;

// The module holding `address`, its file name, and the 1-based section and
// the offset into it.
bool FindSectionOffset(const void* address, char* fileName, DWORD fileNameSize,
                       DWORD& section, std::uintptr_t& offset) noexcept;
