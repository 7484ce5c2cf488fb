#pragma once

// Stand-ins for the logger and the stack writer that Thread reaches through
// its hooks, recording what it hands them, and a thread body for the tests.

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "common/thread/event.h"
#include "common/thread/thread.h"
#include "common/thread/thread_hooks.h"

struct HookLogEntry {
    int level;
    std::string function;
    std::wstring message;
};

class HookRecorder {
public:
    HookRecorder();
    ~HookRecorder();
    HookRecorder(const HookRecorder&) = delete;
    HookRecorder& operator=(const HookRecorder&) = delete;

    static std::vector<HookLogEntry> Logs();
    static std::vector<std::string> Registered();
    static int Unregistered();
    static std::vector<DWORD> Dumps();
    static void SetDumpResult(bool result);

private:
    ThreadHooks previous_;
};

// Runs until the stop event is set, or, when told to hang, until released.
class TestThread : public Thread {
public:
    using Thread::Thread;
    ~TestThread() override
    {
        Release();
        Stop();
    }

    void HangUntilReleased() { hang_ = true; }
    void Release() { release_.Set(); }
    void ThrowFromRun() { throw_ = true; }
    bool WaitEntered(int milliseconds = 5000) { return entered_.Wait(milliseconds) == 1; }
    int PriorityAtEntry() const { return priorityAtEntry_; }

protected:
    void Run() override;

private:
    Event entered_{true, false};
    Event release_{true, false};
    std::atomic<bool> hang_{false};
    std::atomic<bool> throw_{false};
    std::atomic<int> priorityAtEntry_{THREAD_PRIORITY_ERROR_RETURN};
};
