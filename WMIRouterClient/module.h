#pragma once

// Module-wide state of the provider DLL: its own handle and the two counts
// that decide whether COM may unload it.

#include <windows.h>

// {72390812-EE29-4309-9B19-ACF198DDB069}
extern const CLSID CLSID_RouterPerfClient;

namespace module {

HINSTANCE Handle() noexcept;

// Process attach: the runtime locale follows the user's default (the
// diagnostic file's text-mode output converts to its code page), and the
// module handle is kept for registration.
void Attach(HINSTANCE instance) noexcept;

// Live counted COM objects (the provider object and the refresher).
LONG ObjectCount() noexcept;
// Net LockServer(TRUE) calls.
LONG LockCount() noexcept;

void LockServer(bool lock) noexcept;

// Threads running the module's code (the poller): the module must not be
// unloaded under them.
void ThreadStarted() noexcept;
void ThreadEnded() noexcept;
LONG ThreadCount() noexcept;

// S_OK when no counted object is alive, no server lock is held and no
// thread of the module is still running.
HRESULT CanUnloadNow() noexcept;

// Counted objects hold one of these: it counts the object for exactly as
// long as the object exists. When the last one goes, the counter data
// source goes with it, whichever kind of object was last.
class CountedObject {
public:
    CountedObject() noexcept;
    ~CountedObject();
    CountedObject(const CountedObject&) = delete;
    CountedObject& operator=(const CountedObject&) = delete;
};

}  // namespace module
