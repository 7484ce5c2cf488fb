#pragma once

// Owner of one Win32 event handle (narrow names). Failures come back as the
// system calls' own results; nothing throws.

#include <windows.h>

#include "common/util/unique_resource.h"

class Event {
public:
    // The most handles one wait can watch.
    static constexpr DWORD kMaxWaitCount = MAXIMUM_WAIT_OBJECTS;

    Event() noexcept = default;
    Event(bool manualReset, bool initialState) noexcept;
    Event(const char* name, bool manualReset, bool initialState) noexcept;

    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Close() noexcept { handle_.reset(); }
    bool Create(bool manualReset, bool initialState) noexcept;
    bool Create(const char* name, bool manualReset, bool initialState,
                SECURITY_ATTRIBUTES* security) noexcept;
    bool Open(const char* name) noexcept;

    BOOL Set() noexcept { return ::SetEvent(handle_.get()); }
    BOOL Reset() noexcept { return ::ResetEvent(handle_.get()); }
    bool IsSignalled() noexcept { return ::WaitForSingleObject(handle_.get(), 0) == WAIT_OBJECT_0; }
    // 1 signalled or abandoned, 0 time-out, -1 failure.
    int Wait(int milliseconds) noexcept;
    HANDLE Handle() const noexcept { return handle_.get(); }

    // Waits for any one of `count` events (-1 = without limit). Answers i + 1
    // for event i, 0 on time-out, -2 for an I/O completion routine, -1 on
    // failure (also for a null list or entry, or more than kMaxWaitCount).
    static int WaitForAny(DWORD count, Event* const* events, int milliseconds,
                          bool alertable) noexcept;

private:
    unique_handle handle_;
};
